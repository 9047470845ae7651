#pragma once

#include <QString>
#include <optional>

// A failure of the design service, with the one sentence the user is shown.
struct FigmaError {
    enum class Kind {
        http,            // an answer whose status is not 200 (0: no HTTP answer)
        badResponse,     // an answer that does not hold what was asked for
        notJson,         // a 200 whose body does not begin like JSON
        noToken,         // no personal access token is stored
        tokenUnreadable, // a token may be stored, but the keychain could not be read
    };

    Kind kind = Kind::noToken;
    int status = 0;   // http
    QString body;     // http: the service's own short message, or the start of the body
    std::optional<int> retryAfter; // http 429: the seconds the service asks to wait, at most a day
    QString detail;   // badResponse, notJson
    QString message;

    static FigmaError http(int status, const QString &body, std::optional<int> retryAfter = std::nullopt);
    static FigmaError badResponse(const QString &detail);
    static FigmaError notJson(const QString &path);
    static FigmaError noToken();
    // `problem` is the keychain's own sentence naming the cause.
    static FigmaError tokenUnreadable(const QString &problem);
};
