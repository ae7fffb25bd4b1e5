#include "configfile.h"

#include <QFile>
#include <QSet>

#include <algorithm>
#include <numeric>
#include <vector>

namespace {

// A configuration file is a few hundred bytes; more than this is not one.
constexpr qint64 maxFileSize = 1024 * 1024;

// The edit distance between two names, without case.
int distance(const QString &a, const QString &b)
{
    std::vector<int> row(size_t(b.size()) + 1);
    std::iota(row.begin(), row.end(), 0);
    for (int i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = i;
        for (int j = 1; j <= b.size(); ++j) {
            const int substitute = diagonal + (a.at(i - 1).toUpper() != b.at(j - 1).toUpper());
            diagonal = row[size_t(j)];
            row[size_t(j)] = std::min({row[size_t(j)] + 1, row[size_t(j) - 1] + 1, substitute});
        }
    }
    return row[size_t(b.size())];
}

QString nearest(const QString &name, const QStringList &known)
{
    if (known.isEmpty())
        return QString();
    return *std::min_element(known.begin(), known.end(), [&](const QString &a, const QString &b) {
        return distance(name, a) < distance(name, b);
    });
}

// Appends body to out with the INI writer's escapes undone; false when body holds a quote or a
// backslash that the writer would not have written.
bool unescape(const QString &body, QString *out)
{
    static const QString simple = QStringLiteral("abfnrtv\"\\'?;,");
    static const QString meaning = QStringLiteral("\a\b\f\n\r\t\v\"\\'?;,");
    for (int i = 0; i < body.size(); ++i) {
        const QChar c = body.at(i);
        if (c == QLatin1Char('"'))
            return false;
        if (c != QLatin1Char('\\')) {
            *out += c;
            continue;
        }
        if (++i == body.size())
            return false;
        const int index = simple.indexOf(body.at(i));
        const bool hex = body.at(i) == QLatin1Char('x');
        const int base = hex ? 16 : 8;
        if (index >= 0) {
            *out += meaning.at(index);
            continue;
        }
        // \xhh... or octal \ooo
        int start = hex ? i + 1 : i;
        int end = start;
        bool ok = false;
        while (end < body.size() && end - start < (hex ? 4 : 3)) {
            body.mid(end, 1).toInt(&ok, base);
            if (!ok)
                break;
            ++end;
        }
        if (end == start)
            return false;
        *out += QChar(body.mid(start, end - start).toUShort(nullptr, base));
        i = end - 1;
    }
    return true;
}

} // namespace

ConfigFile::ConfigFile(const QString &path, const QStringList &knownKeys)
    : fileName(path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    if (file.size() > maxFileSize)
        warn(0, QStringLiteral("is larger than %1 bytes; only its start is read").arg(maxFileSize));
    read(file.read(maxFileSize), knownKeys);
}

QString ConfigFile::valueText(const QString &raw, bool *isText)
{
    *isText = true;
    QString text;
    const bool quoted = raw.size() >= 2 && raw.startsWith(QLatin1Char('"'))
                        && raw.endsWith(QLatin1Char('"'));
    if (!unescape(quoted ? raw.mid(1, raw.size() - 2) : raw, &text))
        text = raw; // not the writer's: as written
    if (text.startsWith(QLatin1String("@@")))
        return text.mid(1);
    for (const char *form :
         {"@ByteArray(", "@Variant(", "@Invalid()", "@Rect(", "@Size(", "@Point(", "@DateTime("}) {
        if (text.startsWith(QLatin1String(form)))
            *isText = false;
    }
    return text;
}

QString ConfigFile::tokenProblem(const Value &token)
{
    if (token.line == 0)
        return QString();
    if (!token.isText)
        return QStringLiteral("is not text");
    if (token.text.trimmed().isEmpty())
        return QStringLiteral("is empty");
    if (token.text.trimmed() != token.text)
        return QStringLiteral("begins or ends with a blank, which no Authorization header keeps");
    for (const QChar c : token.text) {
        if (c.category() == QChar::Other_Control)
            return QStringLiteral("holds a control character, which no header can carry");
    }
    return QString();
}

void ConfigFile::read(const QByteArray &contents, const QStringList &knownKeys)
{
    QSet<QString> knownGroups;
    for (const QString &key : knownKeys)
        knownGroups.insert(key.section(QLatin1Char('/'), 0, 0));
    QStringList groups = knownGroups.values();
    groups.sort();
    // each unknown name is warned about once, at its first line
    QSet<QString> warned;
    const auto firstTime = [&warned](const QString &name) {
        const int before = warned.size();
        warned.insert(name);
        return warned.size() > before;
    };

    QString group;
    bool groupKnown = false;
    const QList<QByteArray> lines = contents.split('\n');
    for (int number = 1; number <= lines.size(); ++number) {
        QByteArray bytes = lines.at(number - 1);
        if (number == 1 && bytes.startsWith("\xef\xbb\xbf"))
            bytes.remove(0, 3);
        const QString line = QString::fromUtf8(bytes).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char(';')) || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('[')) && line.endsWith(QLatin1Char(']'))) {
            group = line.mid(1, line.size() - 2).trimmed();
            groupKnown = knownGroups.contains(group);
            if (!groupKnown && firstTime(line))
                warn(number,
                     QStringLiteral("unknown section [%1] is ignored with its keys; the nearest "
                                    "known section is [%2]")
                             .arg(group, nearest(group, groups)));
            continue;
        }
        const int equals = line.indexOf(QLatin1Char('='));
        if (equals < 0) {
            warn(number, QStringLiteral("is no key=value line and is ignored"));
            continue;
        }
        if (!groupKnown && !group.isEmpty())
            continue; // said with its section
        const QString name = line.left(equals).trimmed();
        const QString key = group.isEmpty() ? name : group + QLatin1Char('/') + name;
        if (!knownKeys.contains(key)) {
            if (firstTime(key))
                warn(number,
                     QStringLiteral("unknown key %1 is ignored; the nearest known key is %2")
                             .arg(key, nearest(key, knownKeys)));
            continue;
        }
        Value &value = values[key];
        value.line = number;
        value.text = valueText(line.mid(equals + 1).trimmed(), &value.isText);
        // bytes that are not UTF-8 read as U+FFFD, which the line did not hold
        if (line.contains(QChar::ReplacementCharacter) && !bytes.contains("\xef\xbf\xbd"))
            value.isText = false;
    }
}

void ConfigFile::warn(int line, const QString &what) const
{
    qWarning("%s:%d: %s", qPrintable(fileName), line, qPrintable(what));
}
