// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "TestSupport.h"

#include <QSslKey>
#include <QSslServer>

// An HTTP service on 127.0.0.1 that keeps every whole request it gets and answers each one,
// on a connection of its own, through the handler the test sets (200 and no body unless it
// says otherwise). While hold is set, answers wait for release(). With trickle set, the body of
// each answer goes out one byte at that pace, as from a service that hangs without ever going
// silent. Given a folder with cert.pem and key.pem (TestSupport::makeCertificate()), it serves
// over TLS.
class FakeService
{
public:
    struct Request
    {
        QByteArray method, path, body;
        QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    };
    struct Answer
    {
        int status = 200;
        QByteArray body;
        // More header lines, each ending in "\r\n", such as "Location: /then\r\n".
        QByteArray headers = {};
    };

    std::function<Answer(const Request &)> handler = [](const Request &) { return Answer(); };
    QList<Request> requests;
    bool hold = false;
    std::chrono::milliseconds trickle{0};

    explicit FakeService(const QString &certificateFolder = {})
        : m_server(certificateFolder.isEmpty() ? new QTcpServer : tlsServer(certificateFolder))
        , m_scheme(certificateFolder.isEmpty() ? "http" : "https")
    {
        if (!m_server->listen(QHostAddress::LocalHost))
            qFatal("FakeService: no port on 127.0.0.1");
        // Sockets stay with the server, so that an answer held back always has one to go to.
        // A TLS connection is pending once its handshake is done.
        QObject::connect(m_server.get(), &QTcpServer::pendingConnectionAvailable, m_server.get(),
                         [this] {
                             while (QTcpSocket *socket = m_server->nextPendingConnection())
                                 QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                                  [this, socket] { receive(socket); });
                         });
    }

    // "http://127.0.0.1:<port>", or https over TLS.
    QString origin() const
    {
        return m_scheme + "://127.0.0.1:" + QString::number(m_server->serverPort());
    }

    // Sends the answers held so far; later ones go at once.
    void release()
    {
        hold = false;
        for (const auto &[socket, answer] : std::exchange(m_held, {})) {
            socket->write("HTTP/1.1 " + QByteArray::number(answer.status)
                          + " X\r\nConnection: close\r\n" + answer.headers + "Content-Length: "
                          + QByteArray::number(answer.body.size()) + "\r\n\r\n");
            send(socket, answer.body);
        }
    }

private:
    static QSslServer *tlsServer(const QString &folder)
    {
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(
            QSslCertificate(TestSupport::readFile(folder + "/cert.pem")));
        configuration.setPrivateKey(QSslKey(TestSupport::readFile(folder + "/key.pem"), QSsl::Ec));
        auto *server = new QSslServer;
        server->setSslConfiguration(configuration);
        return server;
    }

    // The whole body at once, or a byte at a time when trickling.
    void send(QTcpSocket *socket, const QByteArray &bytes)
    {
        const qsizetype step = trickle.count() > 0 ? 1 : bytes.size();
        auto *pace = new QTimer(socket);
        QObject::connect(pace, &QTimer::timeout, socket, [=, sent = qsizetype(0)]() mutable {
            socket->write(bytes.mid(std::exchange(sent, sent + step), step));
            if (sent >= bytes.size())
                pace->stop(), socket->disconnectFromHost();
        });
        pace->start(trickle);
    }

    void receive(QTcpSocket *socket)
    {
        static const QRegularExpression length("\r\ncontent-length: *(\\d+)",
                                               QRegularExpression::CaseInsensitiveOption);
        const QByteArray data = socket->peek(socket->bytesAvailable());
        const qsizetype body = data.indexOf("\r\n\r\n") + 4;
        const qsizetype size = length.match(data.left(body)).captured(1).toLongLong();
        if (body < 4 || data.size() < body + size)
            return;
        socket->readAll();
        const QList<QByteArray> line = data.left(data.indexOf('\r')).split(' ');
        requests.append({line.value(0), line.value(1), data.mid(body, size)});
        m_held.append({socket, handler(requests.constLast())});
        if (!hold)
            release();
    }

    std::unique_ptr<QTcpServer> m_server;
    QString m_scheme;
    QList<std::pair<QTcpSocket *, Answer>> m_held;
};
