#include "claude/jsonextract.h"

namespace {

const QString fence = QStringLiteral("```");
const QString jsonFence = QStringLiteral("```json");

// The text inside the first fence, preferring one marked json.
QStringView narrowed(const QString &answer)
{
    QStringView kept(answer);
    const qsizetype jsonAt = answer.indexOf(jsonFence);
    const qsizetype anyAt = answer.indexOf(fence);
    if (jsonAt >= 0)
        kept = kept.mid(jsonAt + jsonFence.size());
    else if (anyAt >= 0)
        kept = kept.mid(anyAt + fence.size());
    else
        return kept;
    const qsizetype closing = kept.indexOf(fence);
    return closing >= 0 ? kept.left(closing) : kept;
}

} // namespace

namespace JSONExtract {

std::optional<QByteArray> object(const QString &answer)
{
    const QStringView text = narrowed(answer);
    const qsizetype start = text.indexOf(QLatin1Char('{'));
    if (start < 0)
        return std::nullopt;
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (qsizetype i = start; i < text.size(); ++i) {
        const QChar c = text[i];
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == QLatin1Char('\\'))
                escaped = true;
            else if (c == QLatin1Char('"'))
                inString = false;
        } else if (c == QLatin1Char('"')) {
            inString = true;
        } else if (c == QLatin1Char('{')) {
            ++depth;
        } else if (c == QLatin1Char('}') && --depth == 0) {
            return text.mid(start, i - start + 1).toUtf8();
        }
    }
    return std::nullopt;
}

} // namespace JSONExtract
