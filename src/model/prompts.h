#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

#include "figma/figmasection.h"
#include "model/conventions.h"
#include "model/generateinput.h"
#include "settings/appsettings.h"

// The two prompts written to the claude tool: a new plan from one design
// section, and an in-place revision of a plan by a user's request. Pure:
// no file is read, nothing fails, any thread may call them.
namespace Prompts {

// Documents are cut to this many user-perceived characters.
inline constexpr qsizetype specDocLimit = 60'000;
inline constexpr qsizetype apiDocLimit = 90'000;
// Per frame: text-box lines, else texts.
inline constexpr qsizetype textBoxLineLimit = 100;
inline constexpr qsizetype textLimit = 80;

// `specDoc` and `apiDoc` are the documents as the caller joined them, empty
// when there are none; frame images are given as paths under `planDir`.
// `now` becomes the plan's creation time.
QString draft(const GenerateInput &input, const FigmaSection &section, const QString &specDoc, const QString &apiDoc,
              const Conventions &conventions, const QString &planDir, const AppSettings &settings,
              const QDateTime &now = QDateTime::currentDateTimeUtc());

// `now` is written as the decision time; `images` are the attached image
// paths, in order.
QString revise(const QString &request, const QString &userName, const QString &now, const QStringList &images);

} // namespace Prompts
