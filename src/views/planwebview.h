#pragma once

#include <QPointer>
#include <QString>
#include <QWebEngineView>

class BridgeHost;
class FolderInterceptor;
class PlanPage;
class QWebChannel;

// The plan page of one plan folder in the browser engine: reads only that
// folder, posts its decisions and zoom resets to the application, and
// takes its zoom from WebZoom times its own magnification (Ctrl+wheel and
// pinch gestures magnify the whole view apart from the page zoom).
class PlanWebView : public QWebEngineView
{
    Q_OBJECT

public:
    static constexpr double minimumFactor = 0.25;
    static constexpr double maximumFactor = 5.0;

    explicit PlanWebView(QWidget *parent = nullptr);
    ~PlanWebView() override;

    // Loads `file` when another page (or none) is shown; otherwise reloads
    // it, bypassing the cache, when `token` differs from the last one given.
    // A hidden view waits until it is shown: a page loaded out of sight is
    // painted late.
    void bringUpToDate(const QString &file, const QString &dir, int token);

    // A new editor takes the view: it shows the next plan as a view of its
    // own would, at magnification 1, loaded afresh (an editor is built for
    // a plan selected anew, which a rename does to show what it rewrote),
    // and counts reloads from that editor's tokens.
    void handOver();
    // Put aside while no editor shows it: the next plan or the same one is
    // loaded afresh when it is taken again.
    void shelve();

    double magnification() const { return m_magnification; }
    // Kept so that level times magnification stays within the engine's range.
    void setMagnification(double magnification);
    // The engine's factor back to level times magnification.
    void applyZoom();

    QString file() const { return m_file; }
    QString dir() const { return m_dir; }
    int token() const { return m_token; }

Q_SIGNALS:
    // A link to another site that the person followed, for their browser.
    void addressFollowed(const QUrl &url);
    // A decision or a reset posted by a document other than the plan page,
    // dropped; tests watch for it.
    void messageRefused(const QString &name, const QString &url);
    // The person asked for the missing page to be written again.
    void renderRequested();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    QColor windowColour() const;
    void catchUp();
    void receive(const QString &name, const QString &json, const QString &url);
    void followFocusProxy();
    void forgetOtherPages();
    bool walkPage(QObject *input, QEvent *event);
    QWidget *buildMissingNote();
    void followLoad(bool ok);
    void step(bool forward, bool links);
    void magnify(double by);

    PlanPage *m_page = nullptr;
    FolderInterceptor *m_interceptor = nullptr;
    QWebChannel *m_channel = nullptr;
    BridgeHost *m_host = nullptr;
    // Said in place of the engine's English when the folder has no page.
    QWidget *m_missing = nullptr;
    QPointer<QWidget> m_input;
    QString m_file;
    QString m_dir;
    // The plan page asked for and not yet loaded.
    QString m_loading;
    int m_token = -1;
    int m_wantedToken = -1;
    bool m_behind = false;
    bool m_loadAfresh = false;
    // The history of another plan's page is dropped once the next has loaded.
    bool m_forgetHistory = false;
    double m_magnification = 1.0;
};
