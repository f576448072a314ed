// The network reader against the servers vendors run today: a real nginx in
// each set-up, a real TLS certificate chain and a real proxy.
#include "download/NetworkAsyncReader.h"

#include <QHostInfo>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <vector>

namespace {

constexpr int kTimeoutMs = 30000;

// Text that compresses well yet is not one byte repeated.
QByteArray packageBytes(qsizetype size) {
    static const char* const words[] = {"update", "marlo", "veltrin", "setup", "file", "data", "zent", "block"};
    QByteArray bytes;
    quint32 state = 12345;
    while (bytes.size() < size) {
        state = state * 1103515245u + 12345u;
        bytes += words[(state >> 16) % 8];
        bytes += QByteArray::number((state >> 8) % 1000) + ' ';
    }
    bytes.truncate(size);
    return bytes;
}

QString tool(const QString& name) {
    return QStandardPaths::findExecutable(name, {"/usr/sbin", "/usr/bin", "/sbin", "/bin"});
}

// Runs a command to its end; the reason when it fails.
QString run(const QString& program, const QStringList& args, const QString& folder) {
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(tool(program), args);
    if (!process.waitForFinished(kTimeoutMs) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        return program + ": " + process.errorString() + "\n" + QString::fromLocal8Bit(process.readAll());
    }
    return QString();
}

// Ports that were free a moment ago, all different: every probe stays open
// until the last is picked. Another program may still take one before a
// server binds it; the servers are started again with new ports then.
QList<quint16> freePorts(int count) {
    std::vector<std::unique_ptr<QTcpServer>> probes;
    QList<quint16> ports;
    while (ports.size() < count) {
        probes.push_back(std::make_unique<QTcpServer>());
        probes.back()->listen(QHostAddress::LocalHost, 0);
        ports.append(probes.back()->serverPort());
    }
    return ports;
}

bool accepts(const QString& address, quint16 port) {
    QTcpSocket socket;
    socket.connectToHost(address, port);
    return socket.waitForConnected(500);
}

// Relays connections to a server and cuts the first answer after `cutAfter`
// bytes, as a dropped link would; later connections pass whole.
class CuttingRelay : public QTcpServer {
public:
    CuttingRelay(quint16 upstream, qint64 cutAfter) : mUpstream(upstream), mCutAfter(cutAfter) {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* client = nextPendingConnection()) {
                relay(client, ++mConnections == 1 ? mCutAfter : -1);
            }
        });
    }

private:
    void relay(QTcpSocket* client, qint64 budget) {
        auto* server = new QTcpSocket(client);
        connect(client, &QTcpSocket::readyRead, server, [client, server] { server->write(client->readAll()); });
        connect(server, &QTcpSocket::readyRead, client, [client, server, budget]() mutable {
            QByteArray bytes = server->readAll();
            if (budget >= 0 && bytes.size() >= budget) {
                client->write(bytes.left(budget));
                client->disconnectFromHost();
                server->abort();
                return;
            }
            budget -= budget >= 0 ? bytes.size() : 0;
            client->write(bytes);
        });
        connect(server, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        server->connectToHost(QHostAddress::LocalHost, mUpstream);
    }

    quint16 mUpstream;
    qint64 mCutAfter;
    int mConnections = 0;
};

} // namespace

class tst_Servers : public QObject {
    Q_OBJECT

private:
    QByteArray readFile(const QString& name) const;
    void start(QProcess& process, const QString& program, const QStringList& args, const QString& pidFile,
               int portCount, const std::function<void(const QList<quint16>&)>& configure);

    QTemporaryDir mDir;
    std::map<QString, quint16> mPorts;
    QString mHostName; // a name of this machine that resolves to loopback
    QProcess mNginx;
    QProcess mProxy;
    quint16 mProxyPort = 0;
    int mRow = 0;
    const QByteArray mPackage = packageBytes(400 * 1024);
    const QByteArray mVersion = "Veltrin Marlo\r\n2.0.1\r\nhttps://localhost/soft/marlo-2.0.1.exe\r\n";

private slots:
    void initTestCase();
    void cleanupTestCase();

    void everySetUp_deliversTheFilesByteExact_data();
    void everySetUp_deliversTheFilesByteExact();
    void droppedConnection_resumesWithNginxRanges();
};

QByteArray tst_Servers::readFile(const QString& name) const {
    QFile file(mDir.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Starts a server on ports that were free a moment ago: `configure` writes its
// configuration for them. The server writes its pid file only once it has
// bound every port; when another program took one first, it ends instead, and
// starts again on new ports.
void tst_Servers::start(QProcess& process, const QString& program, const QStringList& args, const QString& pidFile,
                        int portCount, const std::function<void(const QList<quint16>&)>& configure) {
    const QString path = tool(program);
    QVERIFY2(!path.isEmpty(), qPrintable(program + " is missing: scripts/deps.sh test installs it"));
    for (int attempt = 1;; ++attempt) {
        configure(freePorts(portCount));
        if (QTest::currentTestFailed()) {
            return;
        }
        QFile::remove(pidFile);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(path, args);
        QVERIFY2(process.waitForStarted(), qPrintable(program + ": " + process.errorString()));
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(pidFile) || process.state() == QProcess::NotRunning, kTimeoutMs);
        if (process.state() == QProcess::Running) {
            return;
        }
        QVERIFY2(attempt < 5, qPrintable(program + " ended before it listened, " + QString::number(attempt) +
                                         " times; its messages are above"));
        qInfo("%s ended before it listened (exit code %d); again on new ports", qPrintable(program),
              process.exitCode());
    }
}

void tst_Servers::initTestCase() {
    QVERIFY(mDir.isValid());
    const QString dir = mDir.path();
    // nginx's workers drop root and must still reach the files they serve.
    QVERIFY(QFile::setPermissions(dir, QFile::permissions(dir) | QFile::ReadOther | QFile::ExeOther));
    for (const char* sub : {"www/soft", "tmp"}) {
        QVERIFY(QDir(dir).mkpath(sub));
    }
    QFile package(dir + "/www/soft/marlo-2.0.1.exe");
    QVERIFY(package.open(QIODevice::WriteOnly) && package.write(mPackage) == mPackage.size());
    package.close();
    QFile version(dir + "/www/soft/veltrin_marlo.txt");
    QVERIFY(version.open(QIODevice::WriteOnly) && version.write(mVersion) == mVersion.size());
    version.close();
    QString failure = run("gzip", {"-k", "-n", "-9", "www/soft/marlo-2.0.1.exe", "www/soft/veltrin_marlo.txt"}, dir);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    // A throwaway CA, trusted by this process only.
    QFile extensions(dir + "/server.ext");
    QVERIFY(extensions.open(QIODevice::WriteOnly));
    extensions.write("subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    extensions.close();
    const QStringList ec = {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
    for (const QStringList& args : {
             QStringList{"req", "-x509"} + ec +
                 QStringList{"-keyout", "ca.key", "-out", "ca.crt", "-days", "2", "-subj", "/CN=Kelvane test CA"},
             QStringList{"req"} + ec +
                 QStringList{"-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost"},
             QStringList{"x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key", "-CAcreateserial",
                         "-out", "server.crt", "-days", "2", "-extfile", "server.ext"},
         }) {
        failure = run("openssl", args, dir);
        QVERIFY2(failure.isEmpty(), qPrintable(failure));
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    const QList<QSslCertificate> ca = QSslCertificate::fromPath(dir + "/ca.crt");
    QCOMPARE(ca.size(), 1);
    tls.addCaCertificate(ca.first());
    QSslConfiguration::setDefaultConfiguration(tls);

    // Qt goes straight to 127.0.0.1 and localhost whatever http_proxy says;
    // the machine's own name goes through the proxy.
    mHostName = QHostInfo::localHostName();
    QString loopback;
    for (const QHostAddress& address : QHostInfo::fromName(mHostName).addresses()) {
        if (address.isLoopback() && address.protocol() == QAbstractSocket::IPv4Protocol) {
            loopback = address.toString();
        }
    }
    QVERIFY2(!loopback.isEmpty(), qPrintable("the host name " + mHostName + " does not resolve to a loopback address"));

    QFile templateFile(QStringLiteral(KELVANE_SERVERS_DIR "/nginx.conf.in"));
    QVERIFY(templateFile.open(QIODevice::ReadOnly));
    const QString nginxTemplate = QString::fromUtf8(templateFile.readAll());
    const char* const names[] = {"PLAIN", "GZIP", "STATIC", "H2", "H2STREAM", "CHUNKED", "REDIRECT", "PROXIED"};
    start(mNginx, "nginx", {"-p", dir, "-c", dir + "/nginx.conf"}, dir + "/nginx.pid", std::size(names),
          [&](const QList<quint16>& ports) {
              QString config = QString(nginxTemplate).replace("@DIR@", dir);
              config.replace("@PROXIED_ADDRESS@", loopback);
              for (qsizetype i = 0; i < ports.size(); ++i) {
                  mPorts[names[i]] = ports[i];
                  config.replace(QStringLiteral("@%1@").arg(names[i]), QString::number(ports[i]));
              }
              QFile configFile(dir + "/nginx.conf");
              QVERIFY(configFile.open(QIODevice::WriteOnly) && configFile.write(config.toUtf8()) > 0);
          });
    if (QTest::currentTestFailed()) {
        return;
    }

    start(mProxy, "tinyproxy", {"-d", "-c", dir + "/tinyproxy.conf"}, dir + "/tinyproxy.pid", 1,
          [&](const QList<quint16>& ports) {
              mProxyPort = ports[0];
              QFile proxyConfig(dir + "/tinyproxy.conf");
              QVERIFY(proxyConfig.open(QIODevice::WriteOnly));
              proxyConfig.write(QStringLiteral("Port %1\nListen 127.0.0.1\nAllow 127.0.0.1\nLogFile \"%2/proxy.log\"\n"
                                               "PidFile \"%2/tinyproxy.pid\"\nLogLevel Connect\nMaxClients 10\n")
                                    .arg(mProxyPort)
                                    .arg(dir)
                                    .toUtf8());
          });
    if (QTest::currentTestFailed()) {
        return;
    }

    for (const auto& [name, port] : mPorts) {
        QTRY_VERIFY2_WITH_TIMEOUT(accepts(name == "PROXIED" ? loopback : "127.0.0.1", port),
                                  qPrintable(name + " does not answer\n" + readFile("error.log")), kTimeoutMs);
    }
    QTRY_VERIFY_WITH_TIMEOUT(accepts("127.0.0.1", mProxyPort), kTimeoutMs);
}

void tst_Servers::cleanupTestCase() {
    for (QProcess* process : {&mNginx, &mProxy}) {
        process->terminate();
        process->waitForFinished(kTimeoutMs);
    }
}

void tst_Servers::everySetUp_deliversTheFilesByteExact_data() {
    QTest::addColumn<QString>("base");
    QTest::addColumn<bool>("proxied");
    QTest::addColumn<QString>("framing"); // how nginx framed its 200, from its log; %1 stands for the file's size

    const auto local = [this](const QString& scheme, const char* name) {
        const QString host =
            scheme == QLatin1String("https") ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1");
        return QStringLiteral("%1://%2:%3").arg(scheme, host).arg(mPorts[name]);
    };
    // Kelvane asks for the plain bytes, so servers that would compress send them with their length.
    const QString length = QStringLiteral("HTTP/1.1\" 200 cl=%1 te=- ce=-");
    QTest::newRow("static file with length") << local("http", "PLAIN") << false << length;
    QTest::newRow("gzip on the fly") << local("http", "GZIP") << false << length;
    QTest::newRow("precompressed twins") << local("http", "STATIC") << false << length;
    QTest::newRow("https over HTTP/2, gzip on the fly")
        << local("https", "H2") << false << QStringLiteral("HTTP/2.0\" 200 cl=%1 te=- ce=-");
    QTest::newRow("HTTP/2, framed by the end of the stream only")
        << local("https", "H2STREAM") << false << QStringLiteral("HTTP/2.0\" 200 cl=- te=- ce=-");
    QTest::newRow("HTTP/1.1 chunked") << local("http", "CHUNKED") << false
                                      << QStringLiteral("HTTP/1.1\" 200 cl=- te=chunked ce=-");
    QTest::newRow("http redirected to https")
        << local("http", "REDIRECT") << false << QStringLiteral("HTTP/2.0\" 200 cl=%1 te=- ce=-");
    QTest::newRow("through the proxy") << QStringLiteral("http://%1:%2").arg(mHostName).arg(mPorts["PROXIED"]) << true
                                       << length;
}

void tst_Servers::everySetUp_deliversTheFilesByteExact() {
    QFETCH(QString, base);
    QFETCH(bool, proxied);
    QFETCH(QString, framing);

    struct ProxyFromEnvironment {
        explicit ProxyFromEnvironment(const QByteArray& url) {
            if (!url.isEmpty()) {
                qputenv("http_proxy", url);
            }
        }
        ~ProxyFromEnvironment() { qunsetenv("http_proxy"); }
    } proxy(proxied ? "http://127.0.0.1:" + QByteArray::number(mProxyPort) : QByteArray());

    download::NetworkAsyncReader reader;
    QList<download::AsyncProperty> done;
    connect(&reader, &download::AsyncReader::AsyncReadComplete, this,
            [&done](const download::AsyncProperty& property) { done.append(property); });
    const QString tag = QStringLiteral("?row=%1").arg(++mRow); // finds this row's lines in the logs
    const QString version = base + "/soft/veltrin_marlo.txt" + tag;
    const QString package = base + "/soft/marlo-2.0.1.exe" + tag;
    QTemporaryDir folder;
    QVERIFY(!reader.AsyncRead(version, folder.filePath("version"), INT_MAX));
    QVERIFY(!reader.AsyncRead(package, folder.filePath("package"), LLONG_MAX));
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 2, kTimeoutMs);

    for (const download::AsyncProperty& property : done) {
        const bool isPackage = property.PropertyName == folder.filePath("package");
        const QByteArray expected = isPackage ? mPackage : mVersion;
        QVERIFY2(!property.Failure, qPrintable(property.Failure ? property.Failure->detail : QString()));
        QFile stored(property.File);
        QVERIFY(stored.open(QIODevice::ReadOnly));
        QVERIFY(stored.readAll() == expected);
        // nginx logs an answer once it is sent, a moment after the client has it.
        const QString path = isPackage ? "/soft/marlo-2.0.1.exe" : "/soft/veltrin_marlo.txt";
        const QString line = QStringLiteral("GET %1%2 %3")
                                 .arg(path, tag, QString(framing).replace("%1", QString::number(expected.size())));
        QTRY_VERIFY2_WITH_TIMEOUT(readFile("access.log").contains(line.toUtf8()),
                                  qPrintable("no \"" + line + "\" in\n" + readFile("access.log")), kTimeoutMs);
        if (proxied) {
            const QString request = QStringLiteral("GET %1%2%3").arg(base, path, tag);
            QVERIFY2(readFile("proxy.log").contains(request.toUtf8()), qPrintable(readFile("proxy.log")));
        }
    }
}

void tst_Servers::droppedConnection_resumesWithNginxRanges() {
    // nginx offers ranges for static files, with a strong ETag and Last-Modified.
    CuttingRelay relay(mPorts["PLAIN"], 150000);
    QVERIFY(relay.isListening());
    download::NetworkAsyncReader reader;
    reader.setResumePause(std::chrono::milliseconds(10));
    QList<download::AsyncProperty> done;
    connect(&reader, &download::AsyncReader::AsyncReadComplete, this,
            [&done](const download::AsyncProperty& property) { done.append(property); });
    QTemporaryDir folder;
    const QString tag = QStringLiteral("?row=resume");
    const QString path = QStringLiteral("/soft/marlo-2.0.1.exe");
    QVERIFY(!reader.AsyncRead(QStringLiteral("http://127.0.0.1:%1%2%3").arg(relay.serverPort()).arg(path, tag),
                              folder.filePath("Update201.EXE"), LLONG_MAX));
    QTRY_COMPARE_WITH_TIMEOUT(done.size(), 1, kTimeoutMs);

    QVERIFY2(!done[0].Failure, qPrintable(done[0].Failure ? done[0].Failure->detail : QString()));
    QCOMPARE(done[0].Resumes, 1);
    QFile stored(done[0].File);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QVERIFY(stored.readAll() == mPackage);
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Update201.EXE"});
    // The rest came as a range of the same file, not the whole file again.
    const QString rest = QStringLiteral("GET %1%2 HTTP/1.1\" 206 cl=").arg(path, tag);
    QTRY_VERIFY2_WITH_TIMEOUT(readFile("access.log").contains(rest.toUtf8()), qPrintable(readFile("access.log")),
                              kTimeoutMs);
}

QTEST_GUILESS_MAIN(tst_Servers)
#include "tst_servers.moc"
