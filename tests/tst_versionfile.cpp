// How the version file's bytes become lines, and lines a package name.
#include "download/AsyncRead.h"
#include "wizard/update/VersionFile.h"

#include <QTemporaryDir>
#include <QTest>

class tst_VersionFile : public QObject {
    Q_OBJECT

private slots:
    void lines_followTheLineEndRules_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        const QStringList three{"Veltrin Marlo", "2.0.1", "http://h/soft/u.exe"};
        QTest::newRow("CR LF") << QByteArray("Veltrin Marlo\r\n2.0.1\r\nhttp://h/soft/u.exe\r\n") << three;
        QTest::newRow("lone CR") << QByteArray("Veltrin Marlo\r2.0.1\rhttp://h/soft/u.exe\r") << three;
        QTest::newRow("no final line end") << QByteArray("Veltrin Marlo\r\n2.0.1\r\nhttp://h/soft/u.exe") << three;
        QTest::newRow("LF only is one line") << QByteArray("Veltrin Marlo\n2.0.1\nhttp://h/soft/u.exe\n")
                                             << QStringList{"Veltrin Marlo\n2.0.1\nhttp://h/soft/u.exe\n"};
        QTest::newRow("two lines") << QByteArray("P\r\n1.0\r\n") << QStringList{"P", "1.0"};
        QTest::newRow("empty") << QByteArray() << QStringList{};
        QTest::newRow("one empty line") << QByteArray("\r\n") << QStringList{""};
        QTest::newRow("CR then CR LF") << QByteArray("a\r\r\nb") << QStringList{"a", "", "b"};
        QTest::newRow("five lines") << QByteArray("P\r\n1.0\r\nu\r\nfour\r\nfive\r\n")
                                    << QStringList{"P", "1.0", "u", "four", "five"};
        QTest::newRow("blanks kept") << QByteArray("P\r\n 2.0 \r\nu") << QStringList{"P", " 2.0 ", "u"};
        QTest::newRow("utf-8 text") << QByteArray("Phi\xc3\xaan b\xe1\xba\xa3n\r\n") << QStringList{"Phiên bản"};
    }
    void lines_followTheLineEndRules() {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QCOMPARE(versionfile::ReadLines(bytes), lines);
    }

    void packageName_dropsEveryFullStop_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<QString>("name");
        QTest::newRow("2.0.1") << "2.0.1"
                               << "Update201.EXE";
        QTest::newRow("15") << "15"
                            << "Update15.EXE";
        QTest::newRow("empty") << ""
                               << "Update.EXE";
        QTest::newRow("blanks") << " 2.0 "
                                << "Update 20 .EXE";
        QTest::newRow("dots only") << "..."
                                   << "Update.EXE";
    }
    void packageName_dropsEveryFullStop() {
        QFETCH(QString, version);
        QFETCH(QString, name);
        QCOMPARE(versionfile::UpdateFileNameFor(version), name);
    }

    void plainFileName_rejectsAnythingThatLeavesTheFolder_data() {
        QTest::addColumn<QString>("version");
        QTest::addColumn<bool>("plain");
        QTest::newRow("ordinary") << "2.0.1" << true;
        QTest::newRow("blanks") << " 2.0 " << true;
        QTest::newRow("vietnamese") << "bản 2" << true;
        QTest::newRow("slash") << "/../../etc/x" << false;
        QTest::newRow("backslash") << "1\\2" << false;
        QTest::newRow("drive colon") << "C:2" << false;
        QTest::newRow("control") << QStringLiteral("2\x01") << false;
        QTest::newRow("C1 control") << QString(QChar(0x85)) << false;
        QTest::newRow("windows forbidden") << "2?*" << false;
        QTest::newRow("too long") << QString(250, QLatin1Char('9')) << false;
        // The limit is 255 bytes of UTF-8 for the whole name "Update" + digits + ".EXE".
        QTest::newRow("255 bytes") << QString(245, QLatin1Char('9')) << true;
        QTest::newRow("256 bytes") << QString(246, QLatin1Char('9')) << false;
        const QString threeBytes = QStringLiteral("\u1EA3"); // one character, three bytes
        QTest::newRow("255 bytes, 253 characters") << threeBytes + QString(242, QLatin1Char('9')) << true;
        QTest::newRow("256 bytes, 254 characters") << threeBytes + QString(243, QLatin1Char('9')) << false;
    }
    void plainFileName_rejectsAnythingThatLeavesTheFolder() {
        QFETCH(QString, version);
        QFETCH(bool, plain);
        QCOMPARE(versionfile::IsPlainFileName(versionfile::UpdateFileNameFor(version)), plain);
    }

    // Whether the lines can drive an update: what a browser would fetch is
    // accepted, anything that can never be downloaded fails the check.
    void problem_judgesTheWholeFile_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("problem"); // empty: usable
        QTest::newRow("usable") << QByteArray("P\r\n2.0.1\r\nhttp://h/u.exe\r\n") << QString();
        QTest::newRow("blank inside url") << QByteArray("P\r\n2.0\r\nhttp://h/my setup.exe") << QString();
        QTest::newRow("trailing blank") << QByteArray("P\r\n2.0\r\nhttps://h/u.exe  \r\n") << QString();
        QTest::newRow("LF only") << QByteArray("P\n2.0.1\nhttp://h/u.exe\n") << "has 1 of its three lines";
        QTest::newRow("two lines") << QByteArray("P\r\n2.0\r\n") << "has 2 of its three lines";
        QTest::newRow("empty file") << QByteArray() << "has 0 of its three lines";
        QTest::newRow("empty version") << QByteArray("P\r\n\r\nhttp://h/u.exe") << "version line is empty";
        QTest::newRow("empty url") << QByteArray("P\r\n2.0\r\n\r\n") << "package address is empty";
        QTest::newRow("blank url") << QByteArray("P\r\n2.0\r\n   \r\n") << "No address was given";
        QTest::newRow("ftp") << QByteArray("P\r\n2.0\r\nftp://h/u.exe") << "only http and https";
        QTest::newRow("relative") << QByteArray("P\r\n2.0\r\n/soft/u.exe") << "not a valid web address";
        QTest::newRow("no server") << QByteArray("P\r\n2.0\r\nhttp:///u.exe") << "names no server";
        QTest::newRow("unsafe version") << QByteArray("P\r\n../x\r\nhttp://h/u.exe") << "cannot be used in a file name";
        // Text that would be recorded with stand-ins, or shown other than it is.
        QTest::newRow("version not UTF-8") << QByteArray("P\r\n2.0\xff\r\nhttp://h/u.exe") << "line 2 is not text";
        QTest::newRow("product not UTF-8") << QByteArray("P\xc3\r\n2.0\r\nhttp://h/u.exe") << "line 1 is not text";
        QTest::newRow("line 4 not UTF-8") << QByteArray("P\r\n2.0\r\nhttp://h/u.exe\r\n\xff") << QString();
        QTest::newRow("right-to-left override") << QByteArray("P\r\n2.0.1\xe2\x80\xae"
                                                              "exe\r\nhttp://h/u.exe")
                                                << "\"2.0.1\\u202eexe\" cannot be used";
        QTest::newRow("line separator") << QByteArray("P\r\n2.0\xe2\x80\xa8\r\nhttp://h/u.exe") << "\\u2028";
        QTest::newRow("no-break space") << QByteArray("P\r\n2.0\xc2\xa0\r\nhttp://h/u.exe")
                                        << "cannot be used in a file name";
    }
    void problem_judgesTheWholeFile() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, problem);
        const std::optional<QString> found = versionfile::Interpret(versionfile::Decode(bytes)).problem;
        if (problem.isEmpty()) {
            QVERIFY2(!found, qPrintable(found.value_or(QString())));
        } else {
            QVERIFY(found);
            QVERIFY2(found->contains(problem), qPrintable(*found));
        }
    }

    void target_isReadAsABrowserReadsIt() {
        const download::ParsedTarget parsed = download::ParseTarget(QStringLiteral(" http://h/soft/my setup.exe \t"));
        QVERIFY(!parsed.error);
        QCOMPARE(parsed.url.toEncoded(), QByteArray("http://h/soft/my%20setup.exe"));
    }
};

QTEST_GUILESS_MAIN(tst_VersionFile)
#include "tst_versionfile.moc"
