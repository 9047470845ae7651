#pragma once

#include "claude/clauderunner.h"

#include <QObject>

struct AppSettings;

// The generation engine: turns a generation request into a plan folder.
class Generator : public QObject
{
    Q_OBJECT

public:
    // The Claude runner every Claude run of the application uses: the
    // settings' tool path and model, and in API-key mode the stored key.
    // Throws ClaudeFailure when API-key mode has no stored key.
    static ClaudeRunner makeRunner(const AppSettings &settings);
};
