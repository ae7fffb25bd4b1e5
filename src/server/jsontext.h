#ifndef JSONTEXT_H
#define JSONTEXT_H

#include <QByteArray>
#include <QMap>
#include <QString>

// Every JSON text that Pelorin writes by hand goes through these, so all of it is escaped alike.

// Appends text to out as a JSON string the way QJsonDocument writes one: quotation mark,
// backslash and control characters escaped (\b \f \n \r \t, else \u00xx), a lone surrogate as
// \uxxxx (UTF-8 has no form for it), every other character as it is.
void appendJsonString(QString &out, const QString &text);

// The indented JSON document of a text map, one string member per entry in ascending key
// order, as QJsonDocument::toJson() writes it.
QByteArray jsonDocument(const QMap<QString, QString> &data);

#endif // JSONTEXT_H
