#include "figma/figmaerror.h"

namespace {

// The status, with the service's own words when it gave some.
QString statusText(int status, const QString &body)
{
    return body.isEmpty() ? QString::number(status) : QString::number(status) + QStringLiteral(": ") + body;
}

// A wait as a person reads it: seconds, else whole minutes or hours
// rounded up; none at all (0, a date gone by) is "잠시".
QString waitText(std::optional<int> seconds)
{
    if (!seconds || *seconds <= 0)
        return QStringLiteral("잠시");
    if (*seconds < 60)
        return QStringLiteral("%1초").arg(*seconds);
    if (*seconds < 60 * 60)
        return QStringLiteral("%1분").arg((*seconds + 59) / 60);
    return QStringLiteral("%1시간").arg((*seconds + 60 * 60 - 1) / (60 * 60));
}

QString httpMessage(int status, const QString &body, std::optional<int> retryAfter)
{
    // A refusal is nearly always a token without access to the file; the
    // body adds nothing the user can act on.
    if (status == 403)
        return QStringLiteral("Figma 가 거절했어요(403). 토큰이 이 파일을 볼 수 있는지 확인해 주세요.");
    if (status == 429)
        return QStringLiteral("Figma 에 요청이 너무 많았어요(%1). %2 기다린 뒤 다시 해 주세요.")
            .arg(statusText(status, body), waitText(retryAfter));
    if (status >= 500 && status <= 599)
        return QStringLiteral("Figma 서비스에 문제가 생겼어요(%1). 잠시 뒤에 다시 해 주세요.").arg(statusText(status, body));
    return QStringLiteral("Figma 오류(%1): ").arg(status) + body;
}

} // namespace

FigmaError FigmaError::http(int status, const QString &body, std::optional<int> retryAfter)
{
    FigmaError error;
    error.kind = Kind::http;
    error.status = status;
    error.body = body;
    error.retryAfter = retryAfter;
    error.message = httpMessage(status, body, retryAfter);
    return error;
}

FigmaError FigmaError::badResponse(const QString &detail)
{
    FigmaError error;
    error.kind = Kind::badResponse;
    error.detail = detail;
    error.message = QStringLiteral("Figma 응답을 읽지 못했어요: ") + detail;
    return error;
}

FigmaError FigmaError::notJson(const QString &path)
{
    FigmaError error;
    error.kind = Kind::notJson;
    error.detail = path;
    // A proxy, a captive portal or a wrong address answers in its own way.
    error.message = QStringLiteral("Figma 가 보내는 답이 아니에요(%1). 네트워크나 프록시가 대신 답하고 있지 않은지 확인해 주세요.")
                        .arg(error.detail);
    return error;
}

FigmaError FigmaError::noToken()
{
    FigmaError error;
    error.kind = Kind::noToken;
    error.message = QStringLiteral("Figma 토큰이 없어요. 설정에서 넣어 주세요.");
    return error;
}

FigmaError FigmaError::tokenUnreadable(const QString &problem)
{
    FigmaError error;
    error.kind = Kind::tokenUnreadable;
    error.message = problem;
    return error;
}
