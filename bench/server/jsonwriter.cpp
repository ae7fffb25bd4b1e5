// The headers document written by hand beside QJsonDocument, which gives the same bytes:
// prints the time of each per document and their ratio, five rounds.
//
//   build/bin/pelorin-bench-json
#include "jsontext.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

static QByteArray throughQt(const QMap<QString, QString> &data)
{
    QJsonObject object;
    for (auto it = data.cbegin(); it != data.cend(); ++it)
        object.insert(it.key(), it.value());
    return QJsonDocument(object).toJson();
}

int main()
{
    const QMap<QString, QString> headers{{"accept", "*/*"},
                                         {"content-length", "13"},
                                         {"content-type", "application/x-www-form-urlencoded"},
                                         {"host", "127.0.0.1:9977"},
                                         {"user-agent", "curl/7.88.1"}};
    if (throughQt(headers) != jsonDocument(headers))
        return 1;
    constexpr int documents = 100000;
    qint64 sink = 0;
    for (int round = 0; round < 5; ++round) {
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < documents; ++i)
            sink += throughQt(headers).size();
        const double qt = double(timer.nsecsElapsed()) / documents;
        timer.restart();
        for (int i = 0; i < documents; ++i)
            sink += jsonDocument(headers).size();
        const double byHand = double(timer.nsecsElapsed()) / documents;
        std::printf("QJsonDocument %.0f ns, by hand %.0f ns: %.1fx\n", qt, byHand, qt / byHand);
    }
    return sink > 0 ? 0 : 1;
}
