#pragma once

#include <QColor>
#include <QPushButton>
#include <QString>

class QGraphicsDropShadowEffect;

// A capsule-shaped action button with a drop shadow: the fill, the text and
// the shadow are dimmed while the button is disabled.
class PillButton : public QPushButton
{
    Q_OBJECT
    Q_PROPERTY(double fillOpacity READ fillOpacity)
    Q_PROPERTY(double textOpacity READ textOpacity)
    Q_PROPERTY(double shadowOpacity READ shadowOpacity)

public:
    explicit PillButton(QWidget *parent = nullptr);

    // Title (shown as it stands), symbol name and fill colour.
    void setFace(const QString &title, const QString &symbol, const QColor &fill);
    QString symbol() const { return m_symbol; }
    QColor fill() const { return m_fill; }

    double fillOpacity() const { return isEnabled() ? 1.0 : 0.45; }
    double textOpacity() const { return isEnabled() ? 1.0 : 0.7; }
    double shadowOpacity() const { return isEnabled() ? 0.3 : 0.1; }

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void updateShadow();

    QString m_symbol;
    QColor m_fill;
    QGraphicsDropShadowEffect *m_shadow;
};
