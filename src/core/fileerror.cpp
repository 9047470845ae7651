#include "core/fileerror.h"

#include <QFileDevice>
#include <array>
#include <cerrno>
#include <cstring>

using namespace Qt::StringLiterals;

namespace FileError {

namespace {

struct Known {
    int error;
    const char16_t *korean;
};

constexpr std::array known{
    Known{ENOENT, u"파일이나 폴더가 없어요"},
    Known{EACCES, u"권한이 없어요"},
    Known{EPERM, u"허용되지 않은 작업이에요"},
    Known{ENOSPC, u"디스크에 남은 공간이 없어요"},
    Known{EDQUOT, u"디스크 사용 한도를 넘었어요"},
    Known{EROFS, u"읽기 전용 파일 시스템이에요"},
    Known{EEXIST, u"같은 이름이 이미 있어요"},
    Known{ENOTDIR, u"폴더가 아니에요"},
    Known{EISDIR, u"파일이 아니라 폴더예요"},
    Known{ENAMETOOLONG, u"이름이 너무 길어요"},
    Known{ENOTEMPTY, u"폴더가 비어 있지 않아요"},
    Known{EIO, u"입출력 오류가 났어요"},
    Known{EMFILE, u"열린 파일이 너무 많아요"},
    Known{ENFILE, u"열린 파일이 너무 많아요"},
    Known{EBUSY, u"다른 곳에서 쓰고 있어요"},
    Known{EXDEV, u"다른 파일 시스템으로는 옮길 수 없어요"},
    Known{ELOOP, u"심볼릭 링크가 너무 많이 이어져요"},
    Known{EFBIG, u"파일이 너무 커요"},
    Known{ETXTBSY, u"실행 중인 파일이에요"},
    Known{ENXIO, u"장치가 없어요"},
};

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QString describe(int error)
{
    for (const Known &entry : known)
        if (entry.error == error)
            return QString::fromUtf16(entry.korean);
    return systemText(error);
}

QString describe(const QString &text)
{
    const QString trimmed = text.trimmed();
    // Qt's own words for opening a folder as a file.
    if (trimmed == u"file to open is a directory"_s)
        return describe(EISDIR);
    for (const Known &entry : known)
        if (systemText(entry.error) == trimmed)
            return QString::fromUtf16(entry.korean);
    return text;
}

QString describe(const QFileDevice &file)
{
    return describe(file.errorString());
}

} // namespace FileError
