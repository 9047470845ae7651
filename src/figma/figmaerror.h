#pragma once

#include <QString>

// A failure of the design service, with the one sentence the user is shown.
struct FigmaError {
    enum class Kind {
        http,        // an answer whose status is not 200 (0: no HTTP answer)
        badResponse, // an answer that does not hold what was asked for
        noToken,     // no personal access token is stored
    };

    Kind kind = Kind::noToken;
    int status = 0;   // http
    QString body;     // http: the start of the answer's body
    QString detail;   // badResponse
    QString message;

    static FigmaError http(int status, const QString &body);
    static FigmaError badResponse(const QString &detail);
    static FigmaError noToken();
};
