#include "export/htmlpage.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "core/text.h"
#include "export/htmlescape.h"
#include "export/pagetext.h"

using namespace Qt::StringLiterals;

namespace HTMLPage {

namespace {

struct KeyState {
    QString cls;
    QString chips;
};

KeyState keyState(const StringKey &string)
{
    if (string.key.isEmpty())
        return {u"need"_s, u"<span class=\"chip need\">키 필요</span><span class=\"st\">하드코딩 + TODO</span>"_s};
    if (string.source == u"inferred"_s)
        return {u"ok"_s, u"<span class=\"chip ok\">워드민트</span><span class=\"st warn\">키 확인 필요</span>"_s};
    return {u"ok"_s, u"<span class=\"chip ok\">워드민트</span><span class=\"st\">키 적용 완료</span>"_s};
}

// The string's key, if any, and its Korean text.
void appendLines(QString &out, const StringKey &string)
{
    if (!string.key.isEmpty())
        out += u"<code>"_s + escape(string.key) + u"</code>"_s;
    out += u"<div class=\"ko\">“"_s + escape(string.ko) + u"”</div>"_s;
}

// The callout of the placed string numbered i + 1; even indices go on the
// left.
void appendPlaced(QString &out, const StringKey &string, qsizetype i)
{
    const KeyState state = keyState(string);
    const QString number = QString::number(i + 1);
    const bool onLeft = i % 2 == 0;
    out += u"<div class=\"co "_s + state.cls + u"\" data-n=\""_s + number + u"\" data-side=\""_s
        + (onLeft ? u"l"_s : u"r"_s) + u"\"><div class=\"coh\"><b class=\"no\">"_s + number + u"</b>"_s
        + state.chips + u"</div>"_s;
    appendLines(out, string);
    out += u"</div>"_s;
}

// A fraction of the image as a CSS percentage, the same in every locale.
void appendPercent(QString &out, double fraction)
{
    Text::appendFixed(out, fraction * 100, 2);
    out += u'%';
}

void appendMark(QString &out, const StringKey::Box &box, const QString &number, const QString &cls)
{
    out += u"<span class=\"mk "_s + cls + u"\" data-n=\""_s + number + u"\" style=\"left:"_s;
    appendPercent(out, box.x);
    out += u";top:"_s;
    appendPercent(out, box.y);
    out += u";width:"_s;
    appendPercent(out, box.w);
    out += u";height:"_s;
    appendPercent(out, box.h);
    out += u"\"><b>"_s + number + u"</b></span>"_s;
}

QString image(const Screen &screen)
{
    const std::optional<QString> before = PageText::imageSource(screen.image.before);
    if (!before)
        return u"<div class=\"ph \"><b>이미지 없음</b>"_s + escape(screen.title) + u"</div>"_s;
    return u"<img class=\"\" "_s + PageText::imageAttribute(*before) + u"=\""_s + escape(*before) + u"\" alt=\""_s + escape(screen.title) + u"\">"_s
        + PageText::withoutScripts(*before, QString(), screen.title);
}

} // namespace

QString callouts(const Screen &screen, const QList<StringKey> &strings)
{
    QList<const StringKey *> held;
    held.reserve(strings.size());
    for (const StringKey &string : strings)
        held.append(&string);
    return callouts(screen, held);
}

QString callouts(const Screen &screen, const QList<const StringKey *> &strings)
{
    const QString frame = screen.figmaNodes.isEmpty() ? QString() : screen.figmaNodes.first();
    QList<const StringKey *> placed;
    QList<const StringKey *> unplaced;
    for (const StringKey *string : strings) {
        if (string->box && Text::canonicalEqual(string->frame, frame))
            placed.append(string);
        else
            unplaced.append(string);
    }
    // Reading order on the screenshot: top to bottom, then left to right.
    // A box computed from a frame without size may hold NaN, which must not
    // break the sort's ordering, so it goes last.
    const auto position = [](double value) { return std::isnan(value) ? qInf() : value; };
    std::stable_sort(placed.begin(), placed.end(), [&](const StringKey *a, const StringKey *b) {
        return std::pair(position(a->box->y), position(a->box->x)) < std::pair(position(b->box->y), position(b->box->x));
    });

    // Written in page order: the left column, the image with every mark,
    // then the right column and the strings without a place.
    QString out = u"<div class=\"callouts\"><div class=\"co-col l\">"_s;
    for (qsizetype i = 0; i < placed.size(); i += 2)
        appendPlaced(out, *placed.at(i), i);
    out += u"</div><div class=\"co-img\">"_s + image(screen);
    for (qsizetype i = 0; i < placed.size(); ++i)
        appendMark(out, *placed.at(i)->box, QString::number(i + 1), keyState(*placed.at(i)).cls);
    out += u"</div><div class=\"co-col r\">"_s;
    for (qsizetype i = 1; i < placed.size(); i += 2)
        appendPlaced(out, *placed.at(i), i);
    for (const StringKey *string : unplaced) {
        const KeyState state = keyState(*string);
        out += u"<div class=\"co "_s + state.cls + u"\"><div class=\"coh\">"_s + state.chips + u"</div>"_s;
        appendLines(out, *string);
        out += u"<div class=\"where\">이미지에서 위치를 찾지 못했어요</div></div>"_s;
    }
    out += u"</div><svg class=\"co-lines\" aria-hidden=\"true\"></svg></div>"_s;
    return out;
}

} // namespace HTMLPage
