#pragma once

#include <QFrame>
#include <QString>

// Plain text wrapped to at most a number of lines, the last one cut with
// "…" when the text needs more.
class ElidedLabel : public QFrame
{
    Q_OBJECT

public:
    explicit ElidedLabel(int maxLines, QWidget *parent = nullptr);

    QString text() const { return m_text; }
    void setText(const QString &text);
    int maxLines() const { return m_maxLines; }
    // Whether the text did not fit at the current width.
    bool isElided() const;

    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;
    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    // The lines shown at `width`, the last one elided when cut.
    QStringList layoutLines(int width, bool *cut = nullptr) const;

    QString m_text;
    int m_maxLines;
};
