#include <gtest/gtest.h>

#include "browser/pageharness.h"
#include "support/qtprinters.h"

using namespace Qt::StringLiterals;
using PageHarness::js;
using PageHarness::PageTest;

namespace {

// Ids and options that the page must escape and the browser give back as written.
const QString oddId = u"D&\"<1"_s;
const QStringList oddOptions = {u"A & B"_s, u"\"따옴표\""_s, u"<태그>"_s};

Plan decisionPlan()
{
    Plan plan;
    plan.meta.feature = u"Pick"_s;
    Decision odd;
    odd.key = oddId;
    odd.question = u"어느 쪽으로 할까?"_s;
    odd.options = oddOptions;
    odd.proposal = u"<태그>"_s;
    Decision plain;
    plain.key = u"D2"_s;
    plain.question = u"두 번째 질문"_s;
    plain.options = {u"예"_s, u"아니오"_s};
    Decision done;
    done.key = u"D3"_s;
    done.question = u"이미 정했어요"_s;
    done.options = {u"하나"_s};
    done.status = u"decided"_s;
    plan.decisions = {odd, plain, done};
    return plan;
}

QString picker(const QString &id)
{
    return u".dpick[data-id=%1]"_s.arg(js(id));
}

QString option(const QString &id, const QString &text)
{
    return picker(id) + u" > .opt[data-o=%1]"_s.arg(js(text));
}

QJsonObject pick(const QString &id, const QString &field, const QJsonValue &value)
{
    return QJsonObject{{u"id"_s, id}, {field, value}};
}

class DecisionPageTest : public PageTest
{
protected:
    QJsonArray posted() { return json(u"window.__quarryPosted.map(function (p) { return p.body; })"_s).toArray(); }
    // What was posted once `count` bodies are there: a click reaches the
    // page through the engine's input queue in its own time.
    QJsonArray posted(qsizetype count)
    {
        browser().waitFor(u"window.__quarryPosted.length >= %1"_s.arg(count));
        return posted();
    }
    bool boxHidden(const QString &id, bool hidden)
    {
        return browser().waitFor(u"document.querySelector(%1).hidden === %2"_s.arg(js(picker(id) + u" .etcbox"_s),
                                                                                   hidden ? u"true"_s : u"false"_s));
    }
    // The options of a picker that show as chosen, and the "기타" button's label.
    QString painted(const QString &id)
    {
        return eval(u"(function (p) { return Array.from(p.querySelectorAll('.sel')).map(function (b) { return b.getAttribute('data-o') || b.textContent; }).join('|') + ' / ' + p.querySelector('.etc').textContent; })(document.querySelector(%1))"_s
                        .arg(js(picker(id))))
            .toString();
    }
};

TEST_F(DecisionPageTest, InTheApplicationEachPickPostsOneBody)
{
    browser().setAppMode(true);
    open(decisionPlan());
    EXPECT_TRUE(eval(u"document.body.classList.contains('inapp') && !document.body.classList.contains('inbrowser')"_s).toBool());
    EXPECT_EQ(eval(u"getComputedStyle(document.querySelector('.opts')).display"_s).toString(), u"none"_s);
    EXPECT_EQ(eval(u"getComputedStyle(document.querySelector('.dpick')).display"_s).toString(), u"grid"_s);
    EXPECT_EQ(eval(u"document.querySelectorAll('.dpick').length"_s).toInt(), 2);
    EXPECT_EQ(eval(u"document.querySelector('.dpick .go').textContent"_s).toString(), u"이걸로 고르기"_s);
    EXPECT_EQ(eval(u"document.querySelectorAll('.askapp').length"_s).toInt(), 0);

    QJsonArray expected;
    browser().click(option(oddId, oddOptions[0]));
    expected.append(pick(oddId, u"choice"_s, oddOptions[0]));
    ASSERT_EQ(posted(expected.size()), expected);
    EXPECT_EQ(painted(oddId), u"A & B / 기타 — 직접 쓰기"_s);

    // The same option again takes the pick back.
    browser().click(option(oddId, oddOptions[0]));
    expected.append(pick(oddId, u"clear"_s, true));
    ASSERT_EQ(posted(expected.size()), expected);
    EXPECT_EQ(painted(oddId), u" / 기타 — 직접 쓰기"_s);

    // Decisions keep their own picks; one decision holds one.
    browser().click(option(oddId, oddOptions[1]));
    browser().click(option(u"D2"_s, u"예"_s));
    browser().click(option(oddId, oddOptions[2]));
    expected.append(pick(oddId, u"choice"_s, oddOptions[1]));
    expected.append(pick(u"D2"_s, u"choice"_s, u"예"_s));
    expected.append(pick(oddId, u"choice"_s, oddOptions[2]));
    ASSERT_EQ(posted(expected.size()), expected);
    EXPECT_EQ(painted(oddId), u"<태그> / 기타 — 직접 쓰기"_s);
    EXPECT_EQ(painted(u"D2"_s), u"예 / 기타 — 직접 쓰기"_s);

    // A free text is trimmed; the box opens empty while the pick is a choice.
    browser().click(picker(oddId) + u" > .etc"_s);
    ASSERT_TRUE(boxHidden(oddId, false));
    EXPECT_TRUE(eval(u"document.activeElement === document.querySelector(%1)"_s.arg(js(picker(oddId) + u" textarea"_s))).toBool());
    EXPECT_EQ(eval(u"document.activeElement.value"_s).toString(), u""_s);
    eval(u"document.activeElement.value = '  x  '"_s);
    browser().click(picker(oddId) + u" .go"_s);
    expected.append(pick(oddId, u"text"_s, u"x"_s));
    ASSERT_EQ(posted(expected.size()), expected);
    EXPECT_TRUE(boxHidden(oddId, true));
    EXPECT_EQ(painted(oddId), u"기타: x / 기타: x"_s);

    // "취소" leaves everything as it was.
    browser().click(picker(oddId) + u" > .etc"_s);
    ASSERT_TRUE(boxHidden(oddId, false));
    EXPECT_EQ(eval(u"document.querySelector(%1).value"_s.arg(js(picker(oddId) + u" textarea"_s))).toString(), u"x"_s);
    eval(u"document.querySelector(%1).value = 'y'"_s.arg(js(picker(oddId) + u" textarea"_s)));
    browser().click(picker(oddId) + u" .no"_s);
    EXPECT_TRUE(boxHidden(oddId, true));
    EXPECT_EQ(posted(), expected);
    EXPECT_EQ(painted(oddId), u"기타: x / 기타: x"_s);

    // Only spaces clear the pick.
    browser().click(picker(oddId) + u" > .etc"_s);
    ASSERT_TRUE(boxHidden(oddId, false));
    eval(u"document.querySelector(%1).value = '   '"_s.arg(js(picker(oddId) + u" textarea"_s)));
    browser().click(picker(oddId) + u" .go"_s);
    expected.append(pick(oddId, u"clear"_s, true));
    ASSERT_EQ(posted(expected.size()), expected);
    EXPECT_EQ(painted(oddId), u" / 기타 — 직접 쓰기"_s);

    // Picks live as long as the page.
    ASSERT_TRUE(browser().reload());
    EXPECT_EQ(painted(u"D2"_s), u" / 기타 — 직접 쓰기"_s);
    EXPECT_EQ(posted(), QJsonArray());
    EXPECT_EQ(browser().errors(), QStringList());
}

TEST_F(DecisionPageTest, InABrowserEveryPickerButtonPointsToTheApplication)
{
    open(decisionPlan());
    EXPECT_TRUE(eval(u"document.body.classList.contains('inbrowser') && !document.body.classList.contains('inapp')"_s).toBool());
    EXPECT_EQ(json(u"(function (o) { var box = o.querySelector('.askapp-box'); return [o.hidden, box.getAttribute('role'), box.getAttribute('aria-modal'),"
                   " box.querySelector('h2').textContent, box.querySelector('p').textContent, box.querySelector('button').textContent]; })"
                   "(document.querySelector('body > .askapp'))"_s),
              QJsonArray({true, u"dialog"_s, u"true"_s, u"앱에서 선택해 주세요"_s, u"결정은 quarrystone 앱에서 고를 수 있어요."_s, u"확인"_s}));
    const QString open = u"!document.querySelector('.askapp').hidden && getComputedStyle(document.querySelector('.askapp')).display === 'flex'"_s;
    const QString closed = u"document.querySelector('.askapp').hidden"_s;
    const QString okFocused = u"document.activeElement === document.querySelector('.askapp-box button')"_s;

    const QString focusedOn = u"document.activeElement === document.querySelector(%1)"_s;

    browser().click(option(oddId, oddOptions[0]));
    ASSERT_TRUE(browser().waitFor(open));
    EXPECT_TRUE(eval(okFocused).toBool());
    // The modal dialog keeps the focus: Tab goes nowhere else.
    browser().key(Qt::Key_Tab);
    EXPECT_TRUE(eval(okFocused).toBool());
    browser().key(Qt::Key_Backtab);
    EXPECT_TRUE(eval(okFocused).toBool());
    browser().click(u".askapp-box button"_s);
    ASSERT_TRUE(browser().waitFor(closed));
    // Closed, it gives the focus back to the button that opened it.
    EXPECT_TRUE(eval(focusedOn.arg(js(option(oddId, oddOptions[0])))).toBool());

    browser().click(picker(u"D2"_s) + u" > .etc"_s);
    ASSERT_TRUE(browser().waitFor(open));
    EXPECT_TRUE(eval(okFocused).toBool());
    EXPECT_TRUE(eval(u"document.querySelector(%1).hidden"_s.arg(js(picker(u"D2"_s) + u" .etcbox"_s))).toBool());
    browser().key(Qt::Key_Escape);
    ASSERT_TRUE(browser().waitFor(closed));
    EXPECT_TRUE(eval(focusedOn.arg(js(picker(u"D2"_s) + u" > .etc"_s))).toBool());

    // A click inside the box keeps it; a click beside it closes it.
    browser().click(option(u"D2"_s, u"아니오"_s));
    ASSERT_TRUE(browser().waitFor(open));
    browser().click(u".askapp-box h2"_s);
    EXPECT_TRUE(eval(open).toBool());
    browser().clickAt({5, 5});
    ASSERT_TRUE(browser().waitFor(closed));

    EXPECT_EQ(eval(u"document.querySelectorAll('.dpick .sel').length"_s).toInt(), 0);
    EXPECT_EQ(eval(u"document.querySelector(%1).textContent"_s.arg(js(picker(oddId) + u" > .etc"_s))).toString(), u"기타 — 직접 쓰기"_s);
    EXPECT_EQ(browser().errors(), QStringList());
}

} // namespace
