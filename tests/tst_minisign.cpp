// Signature checks against keys and signatures made by the real minisign tool,
// so that what the vendor's tool writes is what Kelvane accepts.
#include "download/Blake2b.h"
#include "download/Minisign.h"

#include <QDateTime>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

using download::SignatureError;

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
        const auto key = download::ParsePublicKey(keyText);
        QVERIFY2(key.check.ok(), qPrintable(key.check.reason));
        const auto signature = download::ParseSignature(signatureFile);
        QVERIFY2(signature.check.ok(), qPrintable(signature.check.reason));
        const QByteArray message = Read(messagePath);

        const auto inMemory = download::Verify(key.value, signature.value, message);
        QCOMPARE(inMemory.error, expected);
        QCOMPARE(inMemory.reason.isEmpty(), expected == SignatureError::None);
        QCOMPARE(download::VerifyFile(key.value, signature.value, messagePath).error, expected);

        download::Blake2b hash;
        hash.addData(message.left(7));
        hash.addData(message.mid(7));
        const auto streamed = download::VerifyPrehashed(key.value, signature.value, hash.result());
        const bool legacy = signature.value.algorithm == download::MinisignSignature::Algorithm::Legacy;
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
            row("untrusted comment filling 4096 bytes")
                << "message." + algorithm << "message" << QByteArray("4096 bytes") << SignatureError::None;
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
        } else if (change == "4096 bytes") { // the untrusted comment is not signed: the file's size is the limit
            signature.insert(signature.indexOf('\n'),
                             QByteArray(download::MaxMinisignFileSize - signature.size(), 'x'));
        }
        checkAllWays(Read(path("a.pub")), signature, messagePath, expected);
    }

    // An unsigned build holds no key; checking against it must refuse, not read past it.
    void unparsedKeyOrSignature_isRefused() {
        const auto signature = download::ParseSignature(Read(path("message.ED"))).value;
        const auto key = download::ParsePublicKey(Read(path("a.pub"))).value;
        QCOMPARE(download::Verify({}, signature, "x").error, SignatureError::MalformedKey);
        QCOMPARE(download::VerifyFile(key, {}, path("message")).error, SignatureError::MalformedSignature);
    }

    // The vendor's tool, signed and unsigned: what it lays out is what Kelvane
    // reads, and the version file's trusted comment names this release and
    // this package. Rows with a refusal must publish nothing.
    void publishedUpdate_verifies_data() {
        QTest::addColumn<QString>("secretKey");
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<QString>("product");
        QTest::addColumn<QString>("refusal");     // empty: published; else what the error says
        QTest::addColumn<qint64>("expiresAfter"); // seconds after the timestamp; -1: no expires field
        const QString key = path("a.key");
        const QString product = QStringLiteral("Veltrin Marlo");
        QTest::newRow("signed") << key << QStringList() << product << QString() << qint64(-1);
        QTest::newRow("unsigned") << QString() << QStringList() << product << QString() << qint64(-1);
        QTest::newRow("--expires 2h") << key << QStringList{"--expires", "2h"} << product << QString() << qint64(7200);
        QTest::newRow("--expires=90m") << key << QStringList{"--expires=90m"} << product << QString() << qint64(5400);
        QTest::newRow("--expires 7d") << key << QStringList{"--expires", "7d"} << product << QString()
                                      << qint64(604800);
        QTest::newRow("--expires 3600") << key << QStringList{"--expires", "3600"} << product << QString()
                                        << qint64(3600);
        QTest::newRow("--expires 366d") << key << QStringList{"--expires", "366d"} << product << QString()
                                        << qint64(366 * 86400);
        QTest::newRow("--expires 08h") << key << QStringList{"--expires", "08h"} << product << QString()
                                       << qint64(8 * 3600);
        const QString form = QStringLiteral("--expires takes seconds or a number with m, h or d");
        for (const char* bad : {"2w", "-5", "1.5h", "", "h", "7d ", "2 h"}) {
            QTest::addRow("--expires '%s'", bad)
                << key << QStringList{"--expires", bad} << product << form << qint64(-1);
        }
        for (const char* zero : {"0", "0m", "000d"}) {
            QTest::addRow("--expires %s", zero) << key << QStringList{"--expires", zero} << product
                                                << QStringLiteral("--expires must be longer than 0") << qint64(-1);
        }
        for (const char* absurd : {"367d", "31622401", "9999999999", "99999999999999999999d"}) {
            QTest::addRow("--expires %s", absurd)
                << key << QStringList{"--expires", absurd} << product << QStringLiteral("is over 366d") << qint64(-1);
        }
        QTest::newRow("--expires, unsigned") << QString() << QStringList{"--expires", "2h"} << product
                                             << QStringLiteral("--expires needs a SECRET_KEY") << qint64(-1);
        QTest::newRow("--expires twice") << key << QStringList{"--expires", "2h", "--expires", "3h"} << product
                                         << QStringLiteral("--expires is given twice") << qint64(-1);
        // A forgotten duration must not take the first argument quietly.
        QTest::newRow("--expires without duration")
            << key << QStringList{"--expires"} << product << form + " (3600, 90m, 12h, 7d), not 'veltrin_marlo.txt'"
            << qint64(-1);
        QTest::newRow("unknown option") << key << QStringList{"--expire", "2h"} << product
                                        << QStringLiteral("unknown option '--expire'") << qint64(-1);

        // The longest product whose signature Kelvane still reads: the comment's
        // other fields and the .minisig's other lines take the rest of its bytes.
        const QByteArray small = Read(path("message.ED"));
        const qsizetype otherLines = small.size() - download::ParseSignature(small).value.trustedComment.size();
        const QByteArray otherFields = "timestamp:" + QByteArray::number(QDateTime::currentSecsSinceEpoch()) +
                                       "\tfile:veltrin_marlo.txt\tproduct:\tversion:2.0.1\tsize:" +
                                       QByteArray::number(QFileInfo(path("message")).size()) +
                                       "\tblake2b:" + QByteArray(128, '0');
        const qsizetype room = download::MaxMinisignFileSize - otherLines - otherFields.size();
        // Two bytes a letter: the limit counts bytes, not letters.
        auto named = [](qsizetype bytes) {
            return QString(bytes % 2, QLatin1Char('x')) + QString(bytes / 2, QChar(0xE9));
        };
        QTest::newRow("longest product") << key << QStringList() << named(room) << QString() << qint64(-1);
        QTest::newRow("product too long to sign")
            << key << QStringList() << named(room + 1) << QStringLiteral("trusted comment would be") << qint64(-1);
        QTest::newRow("product too long to sign, --expires 2h")
            << key << QStringList{"--expires", "2h"} << named(room - 10) << QStringLiteral("trusted comment would be")
            << qint64(-1);
    }
    void publishedUpdate_verifies() {
        QFETCH(QString, secretKey);
        QFETCH(QStringList, options);
        QFETCH(QString, product);
        QFETCH(QString, refusal);
        QFETCH(qint64, expiresAfter);
        const QString out =
            path("www-" + QString::fromLatin1(QTest::currentDataTag()).replace(QRegularExpression("[^\\w]+"), "-"));
        const qint64 before = QDateTime::currentSecsSinceEpoch();
        QProcess publish;
        publish.start("bash", QStringList{KELVANE_SOURCE_DIR "/tools/publish.sh"}
                                  << options
                                  << QStringList{"veltrin_marlo.txt", product, "2.0.1", path("message"),
                                                 "http://h:8080/pk/Setup%20201.EXE", secretKey, out});
        QVERIFY(publish.waitForFinished(30000));
        const qint64 after = QDateTime::currentSecsSinceEpoch();
        const QString errors = QString::fromUtf8(publish.readAllStandardError());
        if (!refusal.isEmpty()) {
            QVERIFY2(publish.exitCode() != 0, "published what it should refuse");
            QVERIFY2(errors.contains(refusal), qPrintable(errors));
            QVERIFY2(!QFileInfo::exists(out), "a refusal wrote files");
            return;
        }
        QVERIFY2(publish.exitCode() == 0, qPrintable(errors));
        const QString versionFile = out + "/soft/veltrin_marlo.txt";
        const QString package = out + "/pk/Setup 201.EXE";
        QCOMPARE(Read(versionFile), product.toUtf8() + "\r\n2.0.1\r\nhttp://h:8080/pk/Setup%20201.EXE\r\n");
        QCOMPARE(Read(package), Read(path("message")));
        const auto key = download::ParsePublicKey(Read(path("a.pub")));
        for (const QString& file : {versionFile, package}) {
            QCOMPARE(QFile::exists(file + ".minisig"), !secretKey.isEmpty());
            if (!secretKey.isEmpty()) {
                const auto signature = download::ParseSignature(Read(file + ".minisig"));
                QVERIFY2(signature.check.ok(), qPrintable(signature.check.reason));
                QCOMPARE(download::VerifyFile(key.value, signature.value, file).error, SignatureError::None);
            }
        }
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 2);
        if (secretKey.isEmpty()) {
            return;
        }

        // The version file's comment, field by field, in its order.
        const QByteArray comment = download::ParseSignature(Read(versionFile + ".minisig")).value.trustedComment;
        QByteArrayList keys;
        QHash<QByteArray, QByteArray> values;
        for (const QByteArray& field : comment.split('\t')) {
            const qsizetype colon = field.indexOf(':');
            QVERIFY2(colon > 0, field.constData());
            keys << field.left(colon);
            values.insert(field.left(colon), field.mid(colon + 1));
        }
        QByteArrayList expectedKeys{"timestamp", "file", "product", "version", "size", "blake2b"};
        if (expiresAfter >= 0) {
            expectedKeys << "expires";
        }
        QCOMPARE(keys, expectedKeys);
        bool number = false;
        const qint64 timestamp = values["timestamp"].toLongLong(&number);
        QVERIFY2(number && timestamp >= before && timestamp <= after, values["timestamp"].constData());
        QCOMPARE(values["file"], QByteArray("veltrin_marlo.txt"));
        QCOMPARE(values["product"], product.toUtf8());
        QCOMPARE(values["version"], QByteArray("2.0.1"));
        QCOMPARE(values["size"], QByteArray::number(QFileInfo(package).size()));
        QCOMPARE(values["blake2b"], download::Blake2b::hash(Read(package)).toHex()); // what b2sum prints
        if (expiresAfter >= 0) {
            QCOMPARE(values["expires"], QByteArray::number(timestamp + expiresAfter));
        }
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
        QTest::newRow("4097 bytes") << QByteArray(good).insert(
            good.indexOf('\n'), QByteArray(download::MaxMinisignFileSize + 1 - good.size(), 'x'));
        QTest::newRow("junk after the signature line")
            << QByteArray(good).insert(good.indexOf("\ntrusted comment"), '!');
        QTest::newRow("junk after the global signature") << QByteArray(good).insert(good.lastIndexOf('\n'), " x");
    }
    void malformedSignatureFile_isRefused() {
        QFETCH(QByteArray, bytes);
        const auto parsed = download::ParseSignature(bytes);
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
        QTest::newRow(".pub file of 4096 bytes")
            << pub + QByteArray(download::MaxMinisignFileSize - pub.size(), '\n') << true;
        QTest::newRow(".pub file of 4097 bytes")
            << pub + QByteArray(download::MaxMinisignFileSize + 1 - pub.size(), '\n') << false;
        QTest::newRow("key line, then junk") << line + "!" << false;
        QTest::newRow(".pub file, junk after the key") << QByteArray(pub).replace(line, line + " x") << false;
    }
    void publicKey_isParsed() {
        QFETCH(QByteArray, text);
        QFETCH(bool, ok);
        const auto key = download::ParsePublicKey(text);
        QCOMPARE(key.check.ok(), ok);
        QCOMPARE(key.check.error, ok ? SignatureError::None : SignatureError::MalformedKey);
        if (ok) {
            QCOMPARE(download::KeyIdText(key.value.keyId).toLatin1(),
                     Read(path("a.pub")).split('\n').at(0).split(' ').last());
        }
    }
};

QTEST_GUILESS_MAIN(tst_Minisign)
#include "tst_minisign.moc"
