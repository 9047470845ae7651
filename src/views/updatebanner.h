#pragma once

#include <QWidget>
#include <functional>

class ElidedLabel;
class QFrame;
class QLabel;
class QPushButton;
class QToolButton;
class Updater;

// The sidebar's update banner: the offer of a newer build with its install
// button, or the result of an update check with a control to dismiss it, or
// nothing. The install button is held back while work is running, so an
// update never replaces the application under it.
class UpdateBanner : public QWidget
{
    Q_OBJECT

public:
    // `busy` tells whether a generation, revision or development run is
    // working; call redraw() whenever its answer may have changed.
    UpdateBanner(Updater &updater, std::function<bool()> busy, QWidget *parent = nullptr);

    void redraw();

    // The install button's offer of `version`, as the server names it (an
    // "&" shown, not taken as a mnemonic), with room around the text.
    static void offerVersion(QPushButton *button, const QString &version);

protected:
    bool event(QEvent *event) override;

private:
    QFrame *buildOffer();
    QFrame *buildStatus();
    void showOffer();
    void showStatus();

    Updater &m_updater;
    std::function<bool()> m_busy;

    QFrame *m_offer;
    QLabel *m_version;
    ElidedLabel *m_notes;
    QWidget *m_progressLine;
    QLabel *m_progressText;
    QLabel *m_failure;
    QPushButton *m_install;

    QFrame *m_status;
    QWidget *m_checking;
    QLabel *m_statusSymbol;
    ElidedLabel *m_statusText;
    QToolButton *m_dismiss;
};
