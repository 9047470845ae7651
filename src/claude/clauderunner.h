#pragma once

#include <QString>
#include <optional>

// One Claude run: the `claude` tool as a child process with a prompt on
// standard input and its event stream read back.
class ClaudeRunner
{
public:
    // The tool's path: the usual install locations first, then the user's
    // login shell; nothing when neither knows it.
    static std::optional<QString> findClaude();
};
