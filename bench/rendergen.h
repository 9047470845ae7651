#pragma once

#include "core/atomicfile.h"
#include "core/jsoncoding.h"
#include "figma/figmasection.h"
#include "plangen.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>

// Plan folders for timing the folder writer: a generated plan with five
// moves per screen, a design section that places every string, and one
// screen image of about 500 KB for every third screen, or a small one on
// every screen. The images' bytes are also written back to back into
// images.bin, the input of the base64 tool that the writer is compared with.
namespace RenderGen {

inline constexpr qsizetype imageSize = 500 * 1024;
// A small image, a whole number of 3-byte groups so that the base64 texts
// of all of them join into the base64 text of images.bin.
inline constexpr qsizetype smallImageSize = 3 * 8 * 1024;

struct Images {
    qsizetype size = imageSize;
    int every = 3;
};

inline constexpr Images largeImages{};
inline constexpr Images smallImages{smallImageSize, 1};

struct Folder {
    QString dir;
    qint64 imageBytes = 0;
    int images = 0;
};

// Random bytes behind a PNG signature: as incompressible as a real image.
inline QByteArray image(int screen, qsizetype size = imageSize)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator random(static_cast<quint32>(screen) + 1);
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    bytes.replace(0, 8, "\x89PNG\r\n\x1a\n");
    return bytes;
}

inline FigmaSection section(const Plan &plan)
{
    FigmaSection section;
    section.fileKey = QStringLiteral("Bench0");
    section.nodeId = QStringLiteral("1:1");
    section.name = QStringLiteral("Bench");
    for (qsizetype i = 0; i < plan.screens.size(); ++i) {
        FigmaFrame frame;
        frame.id = plan.screens[i].figmaNodes.value(0);
        frame.name = plan.screens[i].name;
        frame.w = 360;
        frame.h = 800;
        frame.textBoxes = QList<TextBox>{};
        section.frames.append(frame);
    }
    for (const StringKey &string : plan.strings) {
        const int screen = string.screen.mid(6).toInt();
        TextBox box;
        box.id = string.node;
        box.name = string.key;
        box.x = 36;
        box.y = 100 + 60 * section.frames[screen].textBoxes->size();
        box.w = 200;
        box.h = 40;
        section.frames[screen].textBoxes->append(box);
    }
    return section;
}

inline Folder make(const QString &dir, int screens, Images images = largeImages)
{
    Plan plan = PlanGen::make(PlanGen::Shape{.screens = screens, .transitionsPerScreen = 5});
    Folder folder{dir};
    QDir().mkpath(dir + QStringLiteral("/img"));
    QFile all(dir + QStringLiteral("/images.bin"));
    if (!all.open(QIODevice::WriteOnly))
        return folder;
    for (int i = 0; i < screens; ++i) {
        if (i % images.every != 0) {
            plan.screens[i].image.before.reset();
            continue;
        }
        const QByteArray bytes = image(i, images.size);
        AtomicFile::write(dir + QLatin1Char('/') + *plan.screens[i].image.before, bytes);
        all.write(bytes);
        folder.imageBytes += bytes.size();
        ++folder.images;
    }
    AtomicFile::write(dir + QStringLiteral("/figma-section.json"), JSONCoding::pretty(section(plan)));
    AtomicFile::write(dir + QStringLiteral("/plan.json"), JSONCoding::pretty(plan));
    return folder;
}

} // namespace RenderGen
