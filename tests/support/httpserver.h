#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QHostAddress>
#include <QTcpServer>
#include <QUrl>
#include <chrono>
#include <optional>

class QTcpSocket;

// A small HTTP/1.1 server on 127.0.0.1 inside the test process. Each path
// (the request target without its query) answers from a script of
// responses, taken in turn; the last one repeats. Every request is recorded.
// One request per connection; answers carry Content-Length and close.
class HttpServer : public QObject
{
    Q_OBJECT

public:
    struct Response {
        int status = 200;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
        // Waits this long before answering.
        std::chrono::milliseconds delay{0};
        // Closes the connection instead of answering.
        bool drop = false;
        // The Content-Length announced instead of the body's own: more than
        // the body gives an answer cut off when the connection closes.
        std::optional<qint64> announcedLength{};
        // Sends the body a byte at a time, this long apart, as a server
        // that keeps a connection alive without ever finishing.
        std::chrono::milliseconds trickle{0};
        // Sends the body again and again, with no length announced, for as
        // long as the client reads: an answer without end.
        bool endless = false;

        static Response text(int status, const QByteArray &body);
        static Response json(const QByteArray &body);
        static Response dropped();
    };

    struct Request {
        QByteArray method;
        QByteArray target;
        // Header names in lower case.
        QHash<QByteArray, QByteArray> headers;
        QByteArray body;

        QByteArray path() const;
    };

    explicit HttpServer(QObject *parent = nullptr);
    // Listening on `address` instead of 127.0.0.1.
    explicit HttpServer(const QHostAddress &address, QObject *parent = nullptr);

    // "http://<address>:<port>", no trailing "/".
    QString base() const;
    QUrl url(const QString &target) const;

    // Replaces the script of `path` with one response.
    void serve(const QByteArray &path, const Response &response);
    // Appends a response to the script of `path`.
    void then(const QByteArray &path, const Response &response);

    const QList<Request> &requests() const { return m_requests; }
    QList<Request> requestsTo(const QByteArray &path) const;

private:
    void accept();
    void read(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const Request &request);
    Response next(const QByteArray &path);
    void trickle(QTcpSocket *socket, const QByteArray &body, std::chrono::milliseconds interval);
    void repeat(QTcpSocket *socket, const QByteArray &body);

    QHash<QByteArray, QList<Response>> m_scripts;
    QHash<QTcpSocket *, QByteArray> m_buffers;
    QList<Request> m_requests;
    // Last, so it goes first: its sockets signal while they close.
    QTcpServer m_server;
};
