// Signature checks against keys and signatures made by the real minisign tool,
// so that what the vendor's tool writes is what Kelvane accepts.
#include "host/Blake2b.h"
#include "host/Minisign.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using host::SignatureError;

namespace {

QByteArray Read(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void Write(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Line `index` of a .minisig file, decoded, changed by `edit` and encoded again.
QByteArray EditLine(const QByteArray& file, int index, const std::function<void(QByteArray&)>& edit) {
    QList<QByteArray> lines = file.split('\n');
    QByteArray raw = QByteArray::fromBase64(lines[index]);
    edit(raw);
    lines[index] = raw.toBase64();
    return lines.join('\n');
}

} // namespace

class tst_Minisign : public QObject {
    Q_OBJECT

private:
    QTemporaryDir mDir;
    QString path(const QString& name) const { return mDir.filePath(name); }

    bool minisign(const QStringList& arguments) {
        QProcess process;
        process.setWorkingDirectory(mDir.path());
        process.start(QStringLiteral(KELVANE_MINISIGN), arguments);
        return process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit &&
               process.exitCode() == 0;
    }

    // Verify, VerifyFile and, where it applies, VerifyPrehashed must agree.
    void checkAllWays(const QByteArray& keyText, const QByteArray& signatureFile, const QString& messagePath,
                      SignatureError expected) {
        const auto key = host::ParsePublicKey(keyText);
        QVERIFY2(key.check.ok(), qPrintable(key.check.reason));
        const auto signature = host::ParseSignature(signatureFile);
        QVERIFY2(signature.check.ok(), qPrintable(signature.check.reason));
        const QByteArray message = Read(messagePath);

        const auto inMemory = host::Verify(key.value, signature.value, message);
        QCOMPARE(inMemory.error, expected);
        QCOMPARE(inMemory.reason.isEmpty(), expected == SignatureError::None);
        QCOMPARE(host::VerifyFile(key.value, signature.value, messagePath).error, expected);

        host::Blake2b hash;
        hash.addData(message.left(7));
        hash.addData(message.mid(7));
        const auto streamed = host::VerifyPrehashed(key.value, signature.value, hash.result());
        const bool legacy = signature.value.algorithm == host::MinisignSignature::Algorithm::Legacy;
        QCOMPARE(streamed.error,
                 legacy && expected != SignatureError::OtherKey ? SignatureError::NeedsWholeMessage : expected);
    }

private slots:
    void initTestCase() {
        QVERIFY2(!QStringLiteral(KELVANE_MINISIGN).isEmpty() && !QStringLiteral(KELVANE_MINISIGN).endsWith("NOTFOUND"),
                 "minisign is part of the test set-up (scripts/deps.sh test)");
        QVERIFY(mDir.isValid());
        for (const QString& name : {QStringLiteral("a"), QStringLiteral("b")}) {
            QVERIFY(minisign({"-G", "-W", "-p", name + ".pub", "-s", name + ".key"}));
        }
        Write(path("message"), QByteArray("Veltrin Marlo\r\n2.0.1\r\nhttp://x/p.sh\r\n").repeated(50000));
        Write(path("other"), "another file\n");
        for (const QString& file : {QStringLiteral("message"), QStringLiteral("other")}) {
            QVERIFY(minisign({"-S", "-s", "a.key", "-t", "version 2.0.1", "-m", file, "-x", file + ".ED"}));
            QVERIFY(minisign({"-S", "-l", "-s", "a.key", "-m", file, "-x", file + ".Ed"}));
        }
        QVERIFY(minisign({"-S", "-s", "b.key", "-m", "message", "-x", "message.b.ED"}));
        QVERIFY(minisign({"-S", "-l", "-s", "b.key", "-m", "message", "-x", "message.b.Ed"}));
    }

    void signature_isCheckedEveryWay_data() {
        QTest::addColumn<QString>("signatureFile");
        QTest::addColumn<QString>("message");
        QTest::addColumn<QByteArray>("change"); // "sig", "comment" or "message": one byte flipped there
        QTest::addColumn<SignatureError>("expected");
        for (const QString& algorithm : {QStringLiteral("ED"), QStringLiteral("Ed")}) {
            auto row = [&](const char* name) -> QTestData& {
                return QTest::addRow("%s %s", qPrintable(algorithm), name);
            };
            row("good") << "message." + algorithm << "message" << QByteArray() << SignatureError::None;
            row("another key") << "message.b." + algorithm << "message" << QByteArray() << SignatureError::OtherKey;
            row("another file") << "other." + algorithm << "message" << QByteArray() << SignatureError::MessageMismatch;
            row("byte in message") << "message." + algorithm << "message" << QByteArray("message")
                                   << SignatureError::MessageMismatch;
            row("byte in signature") << "message." + algorithm << "message" << QByteArray("sig")
                                     << SignatureError::MessageMismatch;
            row("byte in trusted comment")
                << "message." + algorithm << "message" << QByteArray("comment") << SignatureError::CommentAltered;
        }
    }
    void signature_isCheckedEveryWay() {
        QFETCH(QString, signatureFile);
        QFETCH(QString, message);
        QFETCH(QByteArray, change);
        QFETCH(SignatureError, expected);
        QByteArray signature = Read(path(signatureFile));
        QString messagePath = path(message);
        if (change == "message") {
            QByteArray bytes = Read(messagePath);
            bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 1);
            messagePath = path("changed");
            Write(messagePath, bytes);
        } else if (change == "sig") {
            signature = EditLine(signature, 1, [](QByteArray& raw) { raw[40] = char(raw.at(40) ^ 1); });
        } else if (change == "comment") {
            const auto at = signature.indexOf("\ntrusted comment: ") + 18;
            signature[at] = char(signature.at(at) ^ 1);
        }
        checkAllWays(Read(path("a.pub")), signature, messagePath, expected);
    }

    // An unsigned build holds no key; checking against it must refuse, not read past it.
    void unparsedKeyOrSignature_isRefused() {
        const auto signature = host::ParseSignature(Read(path("message.ED"))).value;
        const auto key = host::ParsePublicKey(Read(path("a.pub"))).value;
        QCOMPARE(host::Verify({}, signature, "x").error, SignatureError::MalformedKey);
        QCOMPARE(host::VerifyFile(key, {}, path("message")).error, SignatureError::MalformedSignature);
    }

    // The vendor's tool, signed and unsigned: what it lays out is what Kelvane reads.
    void publishedUpdate_verifies_data() {
        QTest::addColumn<QString>("secretKey");
        QTest::newRow("signed") << path("a.key");
        QTest::newRow("unsigned") << QString();
    }
    void publishedUpdate_verifies() {
        QFETCH(QString, secretKey);
        const QString out = path("www-" + QString::number(!secretKey.isEmpty()));
        QProcess publish;
        publish.start("bash", {KELVANE_SOURCE_DIR "/tools/publish.sh", "veltrin_marlo.txt", "Veltrin Marlo", "2.0.1",
                               path("message"), "http://h:8080/pk/Setup%20201.EXE", secretKey, out});
        QVERIFY(publish.waitForFinished(30000));
        QVERIFY2(publish.exitCode() == 0, publish.readAllStandardError().constData());
        const QString versionFile = out + "/soft/veltrin_marlo.txt";
        const QString package = out + "/pk/Setup 201.EXE";
        QCOMPARE(Read(versionFile), QByteArray("Veltrin Marlo\r\n2.0.1\r\nhttp://h:8080/pk/Setup%20201.EXE\r\n"));
        QCOMPARE(Read(package), Read(path("message")));
        const auto key = host::ParsePublicKey(Read(path("a.pub")));
        for (const QString& file : {versionFile, package}) {
            QCOMPARE(QFile::exists(file + ".minisig"), !secretKey.isEmpty());
            if (!secretKey.isEmpty()) {
                const auto signature = host::ParseSignature(Read(file + ".minisig"));
                QVERIFY2(signature.check.ok(), qPrintable(signature.check.reason));
                QCOMPARE(host::VerifyFile(key.value, signature.value, file).error, SignatureError::None);
            }
        }
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 2);
    }

    void malformedSignatureFile_isRefused_data() {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = Read(path("message.ED"));
        const qsizetype end = good.lastIndexOf('\n', good.size() - 2);
        QTest::newRow("cut in last line") << good.left(end + 20);
        QTest::newRow("two lines") << good.left(good.indexOf("\ntrusted comment") + 1);
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("over 4096 bytes") << QByteArray(good).replace("key\n", "key" + QByteArray(4096, ' ') + "\n");
        QTest::newRow("no untrusted comment") << good.mid(good.indexOf('\n') + 1);
        QTest::newRow("bad base64") << QByteArray(good).replace("\nRU", "\nR*");
        QTest::newRow("unknown algorithm") << EditLine(good, 1, [](QByteArray& raw) { raw[1] = 'X'; });
        QTest::newRow("short signature") << EditLine(good, 1, [](QByteArray& raw) { raw.chop(1); });
        QTest::newRow("short global signature") << EditLine(good, 3, [](QByteArray& raw) { raw.chop(1); });
        QTest::newRow("no trusted prefix") << QByteArray(good).replace("trusted comment: ", "comment: ");
        QTest::newRow("text after") << good + "more\n";
    }
    void malformedSignatureFile_isRefused() {
        QFETCH(QByteArray, bytes);
        const auto parsed = host::ParseSignature(bytes);
        QCOMPARE(parsed.check.error, SignatureError::MalformedSignature);
        QVERIFY(!parsed.check.reason.isEmpty());
    }

    void publicKey_isParsed_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<bool>("ok");
        const QByteArray pub = Read(path("a.pub"));
        const QByteArray line = pub.split('\n').at(1);
        QTest::newRow(".pub file") << pub << true;
        QTest::newRow("key line") << line << true;
        QTest::newRow("key line, CR LF, blanks") << " " + line + " \r\n" << true;
        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("two key lines") << line + "\n" + line << false;
        QTest::newRow("bad base64") << QByteArray(line).replace(5, 1, "!") << false;
        QTest::newRow("too short") << QByteArray::fromBase64(line).chopped(1).toBase64() << false;
        QTest::newRow("too long") << (QByteArray::fromBase64(line) + "x").toBase64() << false;
        QTest::newRow("not Ed") << ("ED" + QByteArray::fromBase64(line).mid(2)).toBase64() << false;
        QTest::newRow("signature line") << Read(path("message.ED")).split('\n').at(1) << false;
        QTest::newRow("over 4096 bytes") << pub + QByteArray(4096, '\n') << false;
    }
    void publicKey_isParsed() {
        QFETCH(QByteArray, text);
        QFETCH(bool, ok);
        const auto key = host::ParsePublicKey(text);
        QCOMPARE(key.check.ok(), ok);
        QCOMPARE(key.check.error, ok ? SignatureError::None : SignatureError::MalformedKey);
        if (ok) {
            QCOMPARE(host::KeyIdText(key.value.keyId).toLatin1(),
                     Read(path("a.pub")).split('\n').at(0).split(' ').last());
        }
    }
};

QTEST_GUILESS_MAIN(tst_Minisign)
#include "tst_minisign.moc"
