#include "settings/keychain.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

using Outcome = Keychain::Reading::Outcome;

// The secret a read hands out, when it finds one.
std::optional<QString> stored(Keychain::Item item)
{
    const Keychain::Reading reading = Keychain::read(item);
    if (reading.outcome != Outcome::found)
        return std::nullopt;
    return reading.value;
}

class KeychainTest : public testing::Test
{
protected:
    void SetUp() override { Keychain::useStore(store); }
    void TearDown() override { Keychain::useStore(nullptr); }

    std::shared_ptr<MemorySecretStore> store = std::make_shared<MemorySecretStore>();
};

} // namespace

TEST_F(KeychainTest, EachItemHasItsOwnAccountUnderOneService)
{
    EXPECT_EQ(Keychain::service(), "com.tovanek.quarrystone.mac");
    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "figd_token"));
    ASSERT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "sk-ant-key"));
    EXPECT_EQ(store->items.value("figma-token"), "figd_token");
    EXPECT_EQ(store->items.value("anthropic-api-key"), "sk-ant-key");
    EXPECT_EQ(stored(Keychain::Item::figmaToken), "figd_token");
    EXPECT_EQ(stored(Keychain::Item::anthropicKey), "sk-ant-key");
}

TEST_F(KeychainTest, StoresTheValueTrimmedAndRemovesItForBlankText)
{
    EXPECT_EQ(Keychain::read(Keychain::Item::figmaToken).outcome, Outcome::absent);

    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, QString::fromUtf8("  figd_tok en\u00A0\r\n")));
    EXPECT_EQ(stored(Keychain::Item::figmaToken), "figd_tok en");
    EXPECT_EQ(store->items.value("figma-token"), "figd_tok en");

    EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, " \t\n "));
    EXPECT_EQ(Keychain::read(Keychain::Item::figmaToken).outcome, Outcome::absent);
    EXPECT_FALSE(store->items.contains("figma-token"));
    EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, ""));
}

// A secret goes into a request header or an environment variable: one with
// control characters or anything but ASCII is refused when it is saved and
// when it is read, with a sentence that says so.
TEST_F(KeychainTest, ControlCharactersAndNonAsciiAreRefusedOnSaveAndRead)
{
    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "figd_good"));
    const QStringList bad{"figd_x\r\nX-Injected: yes", QString::fromUtf8("figd_토큰"), "figd\x01x", "figd\x7Fx",
                          QString::fromUtf8("figd\u0085x")};
    for (const QString &value : bad) {
        SCOPED_TRACE(value.toStdString());
        EXPECT_EQ(Keychain::refusal(Keychain::Item::figmaToken, value),
                  "제어 문자나 ASCII 밖의 글자가 들어 있어서 Figma 토큰을 저장하지 않았어요.");
        EXPECT_FALSE(Keychain::set(Keychain::Item::figmaToken, value));
        EXPECT_EQ(store->items.value("figma-token"), "figd_good") << "the old secret stays";
        EXPECT_FALSE(Keychain::usable(value));
    }
    EXPECT_EQ(Keychain::refusal(Keychain::Item::anthropicKey, "sk\tant"),
              "제어 문자나 ASCII 밖의 글자가 들어 있어서 Anthropic API 키를 저장하지 않았어요.");
    EXPECT_EQ(Keychain::refusal(Keychain::Item::figmaToken, "  figd_ok \n"), QString());
    EXPECT_TRUE(Keychain::usable("figd_ok"));
    EXPECT_FALSE(Keychain::usable(" figd_ok"));

    // Written by another program: the same bytes read back as unusable.
    store->items.insert("figma-token", "figd_x\r\nX-Injected: yes");
    const Keychain::Reading injected = Keychain::read(Keychain::Item::figmaToken);
    EXPECT_EQ(injected.outcome, Outcome::unreadable);
    EXPECT_EQ(injected.value, QString());
    EXPECT_EQ(injected.problem, "키링에 저장된 Figma 토큰을 쓸 수 없어요: 제어 문자나 ASCII 밖의 글자가 들어 있어요. "
                                "설정에서 다시 넣어 주세요.");
    store->items.insert("anthropic-api-key", QString::fromUtf8("sk-ant-키").toUtf8());
    EXPECT_EQ(Keychain::read(Keychain::Item::anthropicKey).outcome, Outcome::unreadable);
    // White space at the ends alone is trimmed.
    store->items.insert("figma-token", " figd_spaced \n");
    EXPECT_EQ(stored(Keychain::Item::figmaToken), "figd_spaced");
}

TEST_F(KeychainTest, SavingTheSameValueWritesItAgain)
{
    ASSERT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "same"));
    ASSERT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "same"));
    EXPECT_EQ(store->writes, 2);
    EXPECT_EQ(stored(Keychain::Item::anthropicKey), "same");
}

TEST_F(KeychainTest, RefusedSaveKeepsTheStoredSecret)
{
    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "old"));
    store->refuse = true;
    EXPECT_FALSE(Keychain::set(Keychain::Item::figmaToken, "new"));
    EXPECT_FALSE(Keychain::set(Keychain::Item::figmaToken, "   "));
    EXPECT_EQ(stored(Keychain::Item::figmaToken), "old");
    EXPECT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "")) << "nothing was stored, so nothing is left";
}

// An empty item is no secret; bytes that are not UTF-8 are a stored secret
// that cannot be used, never a missing one.
TEST_F(KeychainTest, EmptyDataIsNoSecretAndNonUtf8DataCannotBeUsed)
{
    store->items.insert("figma-token", QByteArray());
    EXPECT_EQ(Keychain::read(Keychain::Item::figmaToken).outcome, Outcome::absent);
    store->items.insert("figma-token", QByteArray("figd_\xff\xfe\x80" "bad"));
    const Keychain::Reading broken = Keychain::read(Keychain::Item::figmaToken);
    EXPECT_EQ(broken.outcome, Outcome::unreadable);
    EXPECT_EQ(broken.problem, "키링에 저장된 Figma 토큰을 쓸 수 없어요: UTF-8 글자가 아니에요. 설정에서 다시 넣어 주세요.");
    store->items.insert("anthropic-api-key", QByteArray("\xC3\x28", 2));
    EXPECT_EQ(Keychain::read(Keychain::Item::anthropicKey).problem,
              "키링에 저장된 Anthropic API 키를 쓸 수 없어요: UTF-8 글자가 아니에요. 설정에서 다시 넣어 주세요.");
}

TEST_F(KeychainTest, ReadGivesTheTextAsStoredTrimmedAtItsEnds)
{
    store->items.insert("figma-token", QByteArray(" spaced \n"));
    EXPECT_EQ(stored(Keychain::Item::figmaToken), "spaced");
    store->items.insert("figma-token", QByteArray("in side"));
    EXPECT_EQ(stored(Keychain::Item::figmaToken), "in side");
}

// Calls from other threads (the connection check) meet a store being made or
// replaced: each call keeps the store it started with alive to its end.
TEST_F(KeychainTest, StoreIsSharedSafelyBetweenThreads)
{
    const auto filled = [] {
        auto fresh = std::make_shared<MemorySecretStore>();
        fresh->items.insert("figma-token", "figd_token");
        return fresh;
    };
    Keychain::useStore(filled());
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t)
        readers.emplace_back([&] {
            while (!stop)
                if (stored(Keychain::Item::figmaToken) != std::optional<QString>("figd_token"))
                    ++wrong;
        });
    for (int i = 0; i < 20000; ++i)
        Keychain::useStore(filled());
    stop = true;
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_EQ(wrong, 0);
}

// The read that says why it gave nothing: a missing item is none, while a
// store that could not be read names its cause.
TEST_F(KeychainTest, ReadTellsAMissingSecretFromAnUnreadableStore)
{
    store->items.insert("figma-token", "figd_token");
    EXPECT_EQ(Keychain::read(Keychain::Item::figmaToken).outcome, Outcome::found);
    EXPECT_EQ(Keychain::read(Keychain::Item::figmaToken).value, "figd_token");
    EXPECT_EQ(Keychain::read(Keychain::Item::anthropicKey).outcome, Outcome::absent);

    store->unreadable = SecretStore::Lookup{SecretStore::Lookup::Status::locked, {}, {}};
    const Keychain::Reading locked = Keychain::read(Keychain::Item::anthropicKey);
    EXPECT_EQ(locked.outcome, Outcome::unreadable);
    EXPECT_EQ(locked.problem, "키링이 잠겨 있어서 Anthropic API 키를 읽지 못했어요.");
    EXPECT_EQ(stored(Keychain::Item::figmaToken), std::nullopt);
}
