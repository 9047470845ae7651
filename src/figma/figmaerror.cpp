#include "figma/figmaerror.h"

FigmaError FigmaError::http(int status, const QString &body)
{
    FigmaError error;
    error.kind = Kind::http;
    error.status = status;
    error.body = body;
    // A refusal is nearly always a token without access to the file; the
    // body adds nothing the user can act on.
    error.message = status == 403
        ? QStringLiteral("Figma 가 거절했어요(403). 토큰이 이 파일을 볼 수 있는지 확인해 주세요.")
        : QStringLiteral("Figma 오류(%1): ").arg(status) + body;
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

FigmaError FigmaError::noToken()
{
    FigmaError error;
    error.kind = Kind::noToken;
    error.message = QStringLiteral("Figma 토큰이 없어요. 설정에서 넣어 주세요.");
    return error;
}
