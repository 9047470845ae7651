#include "settings/appsettings.h"
#include "settings/keychain.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"
#include "views/newplanview.h"

#include <gtest/gtest.h>

using Hint = NewPlanView::Hint;

namespace {

const QString figmaLink = QStringLiteral("https://www.figma.com/design/AbC123xyz/Harbor?node-id=12-345&t=x");
const QString emptyHint = QStringLiteral("값을 입력해 주세요");
const QString featureRule = QStringLiteral("PascalCase. 모든 화면·모델 이름 앞에 붙어요 (예: HarborClips)");

} // namespace

TEST(NewPlanRules, FeaturePrefixIsUpperCamelCaseAscii)
{
    const struct {
        const char *feature;
        bool ok;
    } cases[] = {
        {"HarborClips", true}, {"Ab", true},         {"Harbor2", true},       {"H2", true},
        {"", false},           {"H", false},         {"harborClips", false},  {"Harbor Clips", false},
        {"Harbor_Clips", false}, {"Harbor-Clips", false}, {"HarborÉ", false}, {"Harbor클립", false},
        {"HarborClips\n", false}, {"\nHarborClips", false}, {"ＨarborClips", false}, {"1Harbor", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NewPlanView::featureOK(QString::fromUtf8(c.feature)), c.ok) << c.feature;
}

TEST(NewPlanRules, LinkAndPrefixHints)
{
    EXPECT_EQ(NewPlanView::linkHint("", false), (Hint{"섹션이나 프레임을 우클릭 → Copy link", false}));
    EXPECT_EQ(NewPlanView::linkHint("", true), (Hint{emptyHint, true}));
    EXPECT_EQ(NewPlanView::linkHint("https://www.figma.com/design/AbC123xyz/Harbor", false),
              (Hint{"node-id 가 있는 figma.com 링크가 아니에요", true}));
    // A text of spaces is not empty.
    EXPECT_EQ(NewPlanView::linkHint(" ", true), (Hint{"node-id 가 있는 figma.com 링크가 아니에요", true}));
    EXPECT_EQ(NewPlanView::linkHint(figmaLink, true), (Hint{"fileKey AbC123xyz · node 12:345", false}));

    EXPECT_EQ(NewPlanView::featureHint("", false), (Hint{featureRule, false}));
    EXPECT_EQ(NewPlanView::featureHint("", true), (Hint{emptyHint, true}));
    EXPECT_EQ(NewPlanView::featureHint("harbor", false), (Hint{"영문 대문자로 시작하는 PascalCase 로 써 주세요", true}));
    EXPECT_EQ(NewPlanView::featureHint("Harbor", true), (Hint{featureRule, false}));
}

TEST(NewPlanRules, DocumentListLines)
{
    const struct {
        QString text;
        QStringList entries;
    } cases[] = {
        {"", {}},
        {"  https://wiki/a  \n\n\t~/spec.md", {"https://wiki/a", "~/spec.md"}},
        {"a\r\nb\rc\u000Bd\u000Ce\u0085f\u2028g\u2029h", {"a", "b", "c", "d", "e", "f", "g", "h"}},
        {"same\nsame\n", {"same", "same"}},
        {"\u3000전각 공백\u3000\n \t \n", {"전각 공백"}},
        {"inner  spaces stay", {"inner  spaces stay"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(NewPlanView::lines(c.text), c.entries) << c.text.toStdString();
}

TEST(NewPlanRules, ReadinessAsksOnlyForTheSecretsTheSettingsNeed)
{
    auto store = std::make_shared<MemorySecretStore>();
    Keychain::useStore(store);
    AppSettings settings;
    NewPlanView::Secrets secrets = NewPlanView::Secrets::read(settings);
    EXPECT_EQ(store->reads, 0);
    EXPECT_EQ(NewPlanView::readyIssues(true, secrets), QStringList());

    settings.figmaMode = AppSettings::FigmaMode::token;
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    secrets = NewPlanView::Secrets::read(settings);
    EXPECT_EQ(store->reads, 2);
    EXPECT_EQ(NewPlanView::readyIssues(false, secrets),
              QStringList({"Claude Code 를 찾지 못했어요", "Figma 토큰이 없어요", "Anthropic API 키가 없어요"}));

    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "figd_x"));
    secrets = NewPlanView::Secrets::read(settings);
    EXPECT_EQ(NewPlanView::readyIssues(true, secrets), QStringList({"Anthropic API 키가 없어요"}));
    Keychain::useStore(nullptr);
}
