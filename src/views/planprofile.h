#pragma once

class QWebEngineProfile;

// The browser profile every plan page uses: "quarrystone", kept in the
// support folder. It exists while any page holds it and is deleted after
// the last page has gone, as the engine requires.
namespace PlanProfile {

// Made on the first hold, after the application exists.
QWebEngineProfile *hold();
// Called once per hold, after the holder's page has been deleted.
void release();

} // namespace PlanProfile
