#ifndef PELHTTPSERVER_H
#define PELHTTPSERVER_H

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

class QHttpServer;
class QHttpRequest;
class QHttpResponse;

// The HTTP end of the bridge: answers every request with a small JSON document and hands the
// data and headers of each GET or POST to whoever listens to dataProcessed. It has no parent
// and owns its listener through parenting.
class PelHttpServer : public QObject
{
    Q_OBJECT

public:
    PelHttpServer(QString host, QString port);

signals:
    void dataProcessed(QByteArray body, QByteArray headers);

private slots:
    void createHttpServer();
    void handleRequest(QHttpRequest *req, QHttpResponse *resp);
    void processRequest();
    void processRequestData(const QByteArray &requestData);
    void sendResponse();
    QByteArray toJSON(QMap<QString, QString> data);

private:
    QString port;
    QString host;
    QHttpServer *httpServer = nullptr;
    QHttpRequest *request = nullptr;
    QHttpResponse *response = nullptr;
    QByteArray responseBody;
    QByteArray requestData;
};

#endif // PELHTTPSERVER_H
