#include "support/httpserver.h"

#include <QHostAddress>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>
#include <memory>

namespace {

QByteArray reason(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

// The head of a request: its request line and headers, or nothing when the
// bytes do not form one.
bool parseHead(const QByteArray &head, HttpServer::Request &request)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    if (first.size() != 3)
        return false;
    request.method = first[0];
    request.target = first[1];
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        request.headers.insert(line.left(colon).trimmed().toLower(), line.mid(colon + 1).trimmed());
    }
    return true;
}

} // namespace

HttpServer::Response HttpServer::Response::text(int status, const QByteArray &body)
{
    Response response;
    response.status = status;
    response.body = body;
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/plain; charset=utf-8")));
    return response;
}

HttpServer::Response HttpServer::Response::json(const QByteArray &body)
{
    Response response;
    response.body = body;
    response.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("application/json")));
    return response;
}

HttpServer::Response HttpServer::Response::dropped()
{
    Response response;
    response.drop = true;
    return response;
}

QByteArray HttpServer::Request::path() const
{
    const qsizetype query = target.indexOf('?');
    return query < 0 ? target : target.left(query);
}

HttpServer::HttpServer(QObject *parent)
    : HttpServer(QHostAddress(QHostAddress::LocalHost), parent)
{
}

HttpServer::HttpServer(const QHostAddress &address, QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &HttpServer::accept);
    if (!m_server.listen(address, 0))
        qFatal("test HTTP server cannot listen: %s", qPrintable(m_server.errorString()));
}

QString HttpServer::base() const
{
    return QStringLiteral("http://%1:%2").arg(m_server.serverAddress().toString()).arg(m_server.serverPort());
}

QUrl HttpServer::url(const QString &target) const
{
    return QUrl(base() + target);
}

void HttpServer::serve(const QByteArray &path, const Response &response)
{
    m_scripts[path] = {response};
}

void HttpServer::then(const QByteArray &path, const Response &response)
{
    m_scripts[path].append(response);
}

QList<HttpServer::Request> HttpServer::requestsTo(const QByteArray &path) const
{
    QList<Request> found;
    for (const Request &request : m_requests)
        if (request.path() == path)
            found.append(request);
    return found;
}

void HttpServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            m_buffers.remove(socket);
            socket->deleteLater();
        });
    }
}

void HttpServer::read(QTcpSocket *socket)
{
    if (!m_buffers.contains(socket) && socket->property("answered").toBool())
        return;
    QByteArray &buffer = m_buffers[socket];
    buffer += socket->readAll();
    const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
    if (headEnd < 0)
        return;
    Request request;
    if (!parseHead(buffer.left(headEnd), request)) {
        m_buffers.remove(socket);
        socket->disconnectFromHost();
        return;
    }
    const qsizetype length = request.headers.value("content-length", "0").toLongLong();
    if (buffer.size() - headEnd - 4 < length)
        return;
    request.body = buffer.mid(headEnd + 4, length);
    m_buffers.remove(socket);
    socket->setProperty("answered", true);
    m_requests.append(request);
    answer(socket, request);
}

HttpServer::Response HttpServer::next(const QByteArray &path)
{
    auto it = m_scripts.find(path);
    if (it == m_scripts.end() || it->isEmpty())
        return Response::text(404, "Not found");
    return it->size() > 1 ? it->takeFirst() : it->first();
}

void HttpServer::answer(QTcpSocket *socket, const Request &request)
{
    const Response response = next(request.path());
    QPointer<QTcpSocket> guard(socket);
    QTimer::singleShot(response.delay, this, [this, guard, response, head = request.method == "HEAD"] {
        if (!guard)
            return;
        if (response.drop) {
            guard->abort();
            return;
        }
        QByteArray out = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reason(response.status) + "\r\n";
        for (const auto &[name, value] : response.headers)
            out += name + ": " + value + "\r\n";
        if (response.endless && !head) {
            guard->write(out + "Connection: close\r\n\r\n");
            repeat(guard, response.body);
            return;
        }
        out += "Content-Length: " + QByteArray::number(response.announcedLength.value_or(response.body.size())) + "\r\nConnection: close\r\n\r\n";
        if (response.trickle.count() > 0 && !head) {
            guard->write(out);
            trickle(guard, response.body, response.trickle);
            return;
        }
        if (!head)
            out += response.body;
        guard->write(out);
        guard->disconnectFromHost();
    });
}

void HttpServer::trickle(QTcpSocket *socket, const QByteArray &body, std::chrono::milliseconds interval)
{
    auto *timer = new QTimer(socket);
    auto sent = std::make_shared<qsizetype>(0);
    connect(timer, &QTimer::timeout, socket, [socket, timer, body, sent] {
        if (*sent >= body.size()) {
            timer->stop();
            socket->disconnectFromHost();
            return;
        }
        socket->write(body.mid((*sent)++, 1));
    });
    timer->start(interval);
}

void HttpServer::repeat(QTcpSocket *socket, const QByteArray &body)
{
    // A little ahead of the client, never the whole answer in memory.
    const auto more = [socket, body] {
        while (socket->bytesToWrite() < 4 * body.size())
            socket->write(body);
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, more);
    more();
}
