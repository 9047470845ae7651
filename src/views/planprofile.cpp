#include "views/planprofile.h"

#include "settings/apppaths.h"

#include <QWebEngineProfile>
#include <QWebEngineSettings>

namespace PlanProfile {
namespace {

QWebEngineProfile *profile = nullptr;
int holders = 0;

QWebEngineProfile *make()
{
    auto *made = new QWebEngineProfile(QStringLiteral("quarrystone"));
    const QString folder = AppPaths::support() + QStringLiteral("/WebEngine");
    made->setPersistentStoragePath(folder);
    made->setCachePath(folder + QStringLiteral("/Cache"));
    QWebEngineSettings *settings = made->settings();
    // The page is a local file that loads its graph library and fonts from the web.
    settings->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, true);
    // A file dropped on the page goes to the revise panel, never replaces the page.
    settings->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
    return made;
}

} // namespace

QWebEngineProfile *hold()
{
    if (!profile)
        profile = make();
    ++holders;
    return profile;
}

void release()
{
    if (holders > 0 && --holders == 0) {
        delete profile;
        profile = nullptr;
    }
}

} // namespace PlanProfile
