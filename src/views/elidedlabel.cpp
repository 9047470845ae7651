#include "views/elidedlabel.h"

#include <QPainter>
#include <QTextLayout>

ElidedLabel::ElidedLabel(int maxLines, QWidget *parent)
    : QFrame(parent)
    , m_maxLines(std::max(1, maxLines))
{
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    setSizePolicy(policy);
}

void ElidedLabel::setText(const QString &text)
{
    if (m_text == text)
        return;
    m_text = text;
    updateGeometry();
    update();
}

QStringList ElidedLabel::layoutLines(int width, bool *cut) const
{
    QStringList shown;
    if (cut)
        *cut = false;
    if (m_text.isEmpty() || width <= 0)
        return shown;
    const QFontMetrics metrics(font());
    // Line breaks in the text count as line ends; each paragraph wraps.
    const QStringList paragraphs = m_text.split(QLatin1Char('\n'));
    for (qsizetype p = 0; p < paragraphs.size(); ++p) {
        QTextLayout layout(paragraphs.at(p), font());
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            const QString piece = paragraphs.at(p).mid(line.textStart(), line.textLength());
            if (shown.size() == m_maxLines - 1) {
                const QString rest = paragraphs.at(p).mid(line.textStart());
                const bool more = p + 1 < paragraphs.size();
                const QString last = more ? rest + QStringLiteral(" …") : rest;
                const QString elided = metrics.elidedText(last, Qt::ElideRight, width);
                shown.append(elided);
                if (cut)
                    *cut = more || elided != last;
                layout.endLayout();
                return shown;
            }
            shown.append(piece.endsWith(QLatin1Char(' ')) ? piece.chopped(1) : piece);
        }
        layout.endLayout();
    }
    return shown;
}

bool ElidedLabel::isElided() const
{
    bool cut = false;
    layoutLines(contentsRect().width(), &cut);
    return cut;
}

int ElidedLabel::heightForWidth(int width) const
{
    const QMargins m = contentsMargins();
    const int lines = std::max<qsizetype>(1, layoutLines(width - m.left() - m.right()).size());
    return lines * QFontMetrics(font()).lineSpacing() + m.top() + m.bottom();
}

QSize ElidedLabel::sizeHint() const
{
    const QFontMetrics metrics(font());
    const int width = std::min(metrics.horizontalAdvance(m_text) + 2, 400);
    return {width, heightForWidth(width)};
}

QSize ElidedLabel::minimumSizeHint() const
{
    return {QFontMetrics(font()).averageCharWidth() * 4, QFontMetrics(font()).lineSpacing()};
}

void ElidedLabel::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(foregroundRole()));
    const QRect box = contentsRect();
    const QFontMetrics metrics(font());
    int y = box.top();
    for (const QString &line : layoutLines(box.width())) {
        painter.drawText(QRect(box.left(), y, box.width(), metrics.lineSpacing()), Qt::AlignLeft | Qt::AlignVCenter,
                         line);
        y += metrics.lineSpacing();
    }
}
