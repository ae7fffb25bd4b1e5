#ifndef CONFIGFILE_H
#define CONFIGFILE_H

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

// config.ini read as its user wrote it. A value is the text after the first '=', blanks around
// it trimmed: ',', ';', '#' and '@' are plain characters in it. What the INI writer adds to a
// text it writes is undone: double quotes around the whole value, its backslash escapes (\"
// \\ \n \t \xhh ...) and the '@' it doubles at the start. The writer's forms for values that
// are not text (@ByteArray(...), @Variant(...), @Invalid() ...) are kept as written and marked.
//
// Reading warns once for each line it cannot use: a section or key nobody reads (naming the
// nearest known one), and a line that is no "key=value". A later line for the same key wins.
class ConfigFile
{
public:
    struct Value
    {
        QString text;
        int line = 0; // 0 when the key is missing
        bool isText = true;
    };

    // knownKeys: "GROUP/KEY" names, the only ones read; every other one is warned about.
    ConfigFile(const QString &path, const QStringList &knownKeys);

    Value value(const QString &key) const { return values.value(key); }
    QString text(const QString &key) const { return values.value(key).text; }
    QString path() const { return fileName; }

    // The text a raw value (what follows '=') stands for, and whether it is text at all.
    static QString valueText(const QString &raw, bool *isText);
    // Why a token of this value can let nobody in, or empty when it can.
    static QString tokenProblem(const Value &token);

private:
    void read(const QByteArray &contents, const QStringList &knownKeys);
    void warn(int line, const QString &what) const;

    QString fileName;
    QHash<QString, Value> values;
};

#endif // CONFIGFILE_H
