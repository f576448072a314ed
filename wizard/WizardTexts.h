// The wizard's own texts, exactly as the user sees them.
#pragma once

#include <QString>

namespace wizardtexts {

inline const QString kFrame1Caption = QStringLiteral("Bước 1 trong 3");
inline const QString kFrame2Caption = QStringLiteral("Bước 2 trong 3");
inline const QString kFrame3Caption = QStringLiteral("Bước 3 trong 3");
inline const QString kWelcomeText = QStringLiteral(
    "Xin chào bạn đến với chương trình cập nhập trực tiếp. Đây là phương pháp nâng cấp chương trình với phiên bản được "
    "cập nhập mới nhất trên máy chủ của Veltrin. Bạn chọn nút Next để bắt đầu tiến trình cập nhập");
inline const QString kConnectingText =
    QStringLiteral("Đang kết nối đến máy chủ để lấy thông tin phiên bản mới nhất ...");
inline const QString kNewVersionText =
    QStringLiteral("Đã có phiên bản mới, click next để download cập nhập hoặc click Cancel để thoát");
inline const QString kUpdateCaption = QStringLiteral("Đang download cập nhập cho: $n to $f");
inline const QString kNoNewVersionText = QStringLiteral("Chưa có phiên bản mới nhưng bạn có thể cài lại để sửa lỗi tại "
                                                        "máy bạn. Kích Next để tiếp tục hoặc Cancel để bỏ qua");
inline const QString kVersionFailureText = QStringLiteral(
    "Lỗi không kết nối đến máy chủ được có thể máy không nối được internet. Quá trình cập nhập không thành công.");
inline const QString kPackageFailureText =
    QStringLiteral("Lỗi không kết nối được máy chủ. Quá trình cập nhập không thành công.");
inline const QString kInstalledVersionPiece = QStringLiteral("Phiên bản hiện thời: ");
inline const QString kServerVersionPiece = QStringLiteral("    Phiên bản trên máy chủ: ");
inline const QString kCompleteMbPiece = QStringLiteral(" MB đã hoàn thành. Bạn click Setup để cập nhập.");

} // namespace wizardtexts

#include "host/Failure.h"
#include "wizard/update/Signing.h"

#include <QtGlobal>

#include <optional>

namespace wizardtexts {

// Sizes are decimal: 1 KB = 1000 bytes, 1 MB = 1,000,000 bytes. The unit
// follows the total of the read, never the bytes read so far.
bool UsesMegabytes(qint64 bytesMax);

// "#0.00" in the unit chosen by `bytesMax`: ASCII digits, no digit grouping,
// the decimal separator of the user's locale.
QString FormatSize(qint64 bytes, qint64 bytesMax);

// `crawlRate`: while the transfer crawls, its rate in bytes a second, which
// the text names; -1 otherwise.
QString VersionProgressText(qint64 bytesRead, qint64 bytesMax, qint64 crawlRate = -1);
// `resuming`: the transfer goes on after a dropped connection, or continues
// what an earlier run kept, and says so.
QString PackageProgressText(qint64 bytesRead, qint64 bytesMax, bool resuming = false, qint64 crawlRate = -1);
QString PackageCompleteText(qint64 lastBytesMax);
QString VersionText(const QString& currentVersion, const QString& serverVersion);

inline const QString kNoUrlText =
    QStringLiteral("A configuration download URL was not provided.  Kelvane cannot continue.");
// Ends every text of a failed check that is not the design's own.
inline const QString kCheckFailed = QStringLiteral(" The update check did not succeed.");

// The box of a download that could not start: its number, then
// ":Error in call to BeginDownload().", two line breaks and its description.
QString StartFailureText(int number, const QString& description);
// The step's text for a download that failed on the way (TooSlow, TooLarge,
// NoSpace, WriteFailed), with the path of its file; nothing for one the
// step's own failure text covers (Network).
std::optional<QString> ReadFailureText(bool versionFile, const host::Failure& failure, const QString& path);
// The step's text for a file that arrived but was refused, with the release
// its signature named (for an older, expired or future-dated one) and the
// signing time of the newest version file accepted before.
QString RefusalText(bool versionFile, const host::Failure& failure, const std::optional<signing::Release>& release,
                    qint64 newestSignedAt);

} // namespace wizardtexts
