#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

class AppState;
class QDialog;
class QMessageBox;
class QSplitter;
class QUrl;
class FileWorkRow;
class Toast;

// The main window's content: the plan library beside a detail area that
// follows the selection, with what belongs to the window as a whole: the
// confirmation that stops a generation, the first-run setup sheet, plan
// pages dropped anywhere on the window, the toast and the floating button.
//
// Dropped local files go to the window, not to the widget under the
// pointer, so text fields never take them; a widget that takes dropped
// files itself sets the dynamic property "takesFileDrops" to true.
class ContentView : public QWidget
{
    Q_OBJECT

public:
    ContentView(AppState *state, QWidget *parent = nullptr);
    ~ContentView() override;

    // What the detail area shows now.
    QWidget *detail() const { return m_detail; }
    QSplitter *splitter() const { return m_splitter; }
    // The first .html file among dropped URLs goes to the import; false
    // (the drop is refused) when there is none.
    bool dropURLs(const QList<QUrl> &urls);

Q_SIGNALS:
    // A new detail was built; the detail changes at most once per turn of
    // the event loop, however many fields changed during it.
    void detailBuilt(QWidget *detail);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    // Which detail the state asks for: the form of one token, the
    // placeholder, the editor of one folder or the run log.
    struct Key {
        enum class Kind { none, form, placeholder, editor, runLog } kind = Kind::none;
        int token = 0;
        QString dir;
        bool operator==(const Key &) const = default;
    };

    Key wanted() const;
    void noteChange();
    void rebuildDetail();
    void placeOverlays();
    void followCancelRequest();
    void closeCancelDialog();
    void followSetup();

    QPointer<AppState> m_state;
    QSplitter *m_splitter = nullptr;
    QWidget *m_slot = nullptr;
    QPointer<QWidget> m_detail;
    Key m_built;
    bool m_dirty = false;
    bool m_passedOther = false;
    Toast *m_toast = nullptr;
    FileWorkRow *m_work = nullptr;
    QWidget *m_floating = nullptr;
    QPointer<QMessageBox> m_cancelDialog;
    QPointer<QDialog> m_setupSheet;
    bool m_firstShown = false;
};
