#include "model/generator.h"

#include "settings/appsettings.h"
#include "settings/keychain.h"

ClaudeRunner Generator::makeRunner(const AppSettings &settings)
{
    ClaudeRunner runner;
    runner.path = settings.claudePath;
    runner.model = settings.claudeModel;
    if (settings.claudeAuth == AppSettings::ClaudeAuth::apiKey) {
        runner.apiKey = Keychain::get(Keychain::Item::anthropicKey);
        if (!runner.apiKey)
            throw ClaudeFailure{QStringLiteral(
                "Anthropic API 키가 없어요. 설정에서 넣거나 'Claude Code 로그인' 방식으로 바꿔 주세요.")};
    }
    return runner;
}
