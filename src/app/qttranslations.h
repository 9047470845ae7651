#pragma once

// Qt's own texts in Korean: the file panels, the text fields' menus and
// the standard buttons speak the window's language whatever the system's
// locale. The catalogues come with the system's Qt (Debian's
// qt6-translations-l10n).
namespace QtTranslations {

// Installs the catalogues into the running application, once; a missing
// catalogue leaves those texts as Qt wrote them.
void install();

} // namespace QtTranslations
