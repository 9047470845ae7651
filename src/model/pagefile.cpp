#include "model/pagefile.h"

#include "core/parallel.h"
#include "core/regularfile.h"

#include <algorithm>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 surveyPiece = 2 << 20;
constexpr qint64 searchPiece = 4 << 20;
// Read past a survey piece's end, for a character or a searched text that
// begins inside it and ends after it.
constexpr qint64 overlap = 64;

bool isContinuation(char c)
{
    return (uchar(c) & 0xc0) == 0x80;
}

// The first place at or after `at` where a character can begin (the end of
// the bytes counts as one), or -1 when more continuation bytes follow than
// any character has.
qsizetype characterStart(QByteArrayView bytes, qsizetype at)
{
    for (qsizetype place = at; place < at + 4; ++place)
        if (place >= bytes.size() || !isContinuation(bytes[place]))
            return place;
    return -1;
}

struct PieceSurvey {
    bool utf8 = true;
    QList<qint64> first;
};

} // namespace

PageFile::PageFile(const QString &path)
    : m_fd(RegularFile::open(path))
{
    struct stat status {};
    if (m_fd >= 0 && ::fstat(m_fd, &status) == 0)
        m_size = status.st_size;
}

PageFile::~PageFile()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

QByteArray PageFile::read(qint64 from, qint64 length) const
{
    const qint64 wanted = std::clamp<qint64>(std::min(length, m_size - from), 0, m_size);
    QByteArray bytes(wanted, Qt::Uninitialized);
    qint64 done = 0;
    while (done < wanted) {
        const ssize_t n = ::pread(m_fd, bytes.data() + done, size_t(wanted - done), off_t(from + done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw Unreadable{};
        done += n;
    }
    return bytes;
}

std::optional<QByteArray> PageFile::textUntil(qint64 from, QByteArrayView end) const
{
    QByteArray text;
    for (qint64 at = from; at < m_size; at += searchPiece) {
        const qsizetype searched = std::max<qsizetype>(0, text.size() - end.size() + 1);
        text += read(at, searchPiece);
        const qsizetype found = text.indexOf(end, searched);
        if (found >= 0) {
            text.truncate(found);
            return text;
        }
    }
    return std::nullopt;
}

PageFile::Survey PageFile::survey(const QList<QByteArrayView> &texts) const
{
    const qint64 pieces = (m_size + surveyPiece - 1) / surveyPiece;
    const QList<PieceSurvey> found = Parallel::map<PieceSurvey>(pieces, [&](qsizetype piece) {
        const qint64 from = piece * surveyPiece;
        const qint64 length = std::min(surveyPiece, m_size - from);
        const QByteArray bytes = read(from, length + overlap);
        PieceSurvey result;
        // Both neighbours agree on where a character begins, so the pieces'
        // characters together are the file's.
        const qsizetype start = from == 0 ? 0 : characterStart(bytes, 0);
        const qsizetype end = characterStart(bytes, length);
        result.utf8 = start >= 0 && end >= 0 && QByteArrayView(bytes).sliced(start, end - start).isValidUtf8();
        for (const QByteArrayView text : texts) {
            const qsizetype reach = std::min<qsizetype>(bytes.size(), length + text.size() - 1);
            const qsizetype at = QByteArrayView(bytes).first(reach).indexOf(text);
            result.first.append(at < 0 ? -1 : from + at);
        }
        return result;
    });
    Survey survey;
    survey.first = QList<qint64>(texts.size(), -1);
    for (const PieceSurvey &piece : found) {
        survey.utf8 = survey.utf8 && piece.utf8;
        for (qsizetype text = 0; text < texts.size(); ++text)
            if (survey.first[text] < 0)
                survey.first[text] = piece.first[text];
    }
    return survey;
}
