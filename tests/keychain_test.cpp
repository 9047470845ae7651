#include "settings/keychain.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

namespace {

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
    EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), "figd_token");
    EXPECT_EQ(Keychain::get(Keychain::Item::anthropicKey), "sk-ant-key");
}

TEST_F(KeychainTest, StoresTheValueTrimmedAndRemovesItForBlankText)
{
    EXPECT_FALSE(Keychain::has(Keychain::Item::figmaToken));
    EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), std::nullopt);

    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, QString::fromUtf8("  tok\u00A0en 토큰\r\n")));
    EXPECT_TRUE(Keychain::has(Keychain::Item::figmaToken));
    EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), QString::fromUtf8("tok\u00A0en 토큰"));

    EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, " \t\n "));
    EXPECT_FALSE(Keychain::has(Keychain::Item::figmaToken));
    EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), std::nullopt);
    EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, ""));
}

TEST_F(KeychainTest, SavingTheSameValueWritesItAgain)
{
    ASSERT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "same"));
    ASSERT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "same"));
    EXPECT_EQ(store->writes, 2);
    EXPECT_EQ(Keychain::get(Keychain::Item::anthropicKey), "same");
}

TEST_F(KeychainTest, RefusedSaveKeepsTheStoredSecret)
{
    ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "old"));
    store->refuse = true;
    EXPECT_FALSE(Keychain::set(Keychain::Item::figmaToken, "new"));
    EXPECT_FALSE(Keychain::set(Keychain::Item::figmaToken, "   "));
    EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), "old");
    EXPECT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "")) << "nothing was stored, so nothing is left";
}

TEST_F(KeychainTest, EmptyOrNonUtf8DataExistsButGivesNoValue)
{
    store->items.insert("figma-token", QByteArray());
    store->items.insert("anthropic-api-key", QByteArray("\xC3\x28", 2));
    EXPECT_TRUE(Keychain::has(Keychain::Item::figmaToken));
    EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), std::nullopt);
    EXPECT_TRUE(Keychain::has(Keychain::Item::anthropicKey));
    EXPECT_EQ(Keychain::get(Keychain::Item::anthropicKey), std::nullopt);
}

TEST_F(KeychainTest, ReadGivesTheTextAsStored)
{
    store->items.insert("figma-token", QByteArray(" spaced \n"));
    EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), " spaced \n");
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
                if (Keychain::get(Keychain::Item::figmaToken) != std::optional<QString>("figd_token"))
                    ++wrong;
        });
    for (int i = 0; i < 20000; ++i)
        Keychain::useStore(filled());
    stop = true;
    for (std::thread &reader : readers)
        reader.join();
    EXPECT_EQ(wrong, 0);
}

// The read that says why it gave nothing: an empty or broken item is as
// good as none, while a store that could not be read names its cause.
TEST_F(KeychainTest, ReadTellsAMissingSecretFromAnUnreadableStore)
{
    using Outcome = Keychain::Reading::Outcome;
    store->items.insert("figma-token", "figd_token");
    store->items.insert("anthropic-api-key", QByteArray("\xC3\x28", 2));
    EXPECT_EQ(Keychain::read(Keychain::Item::figmaToken).outcome, Outcome::found);
    EXPECT_EQ(Keychain::read(Keychain::Item::figmaToken).value, "figd_token");
    EXPECT_EQ(Keychain::read(Keychain::Item::anthropicKey).outcome, Outcome::absent);
    store->items.remove("anthropic-api-key");
    EXPECT_EQ(Keychain::read(Keychain::Item::anthropicKey).outcome, Outcome::absent);

    store->unreadable = SecretStore::Lookup{SecretStore::Lookup::Status::locked, {}, {}};
    const Keychain::Reading locked = Keychain::read(Keychain::Item::anthropicKey);
    EXPECT_EQ(locked.outcome, Outcome::unreadable);
    EXPECT_EQ(locked.problem, "키체인이 잠겨 있어서 Anthropic API 키를 읽지 못했어요.");
    EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), std::nullopt);
}
