// varnex: interactive segmentation of pictures by localized graph cuts.
#include "varnex.h"

#include <kalvio/version.h>

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kUsage =
    "Usage: varnex [PICTURE]\n"
    "Opens PICTURE (PGM, PPM, BMP and the other formats Kalvio reads) for\n"
    "interactive segmentation. Paint object seeds with the left mouse button and\n"
    "background seeds with the right one, then choose Edit > Graphcut. The region\n"
    "map is read from BASE_regions.bmp beside the picture, BASE being the picture's\n"
    "path up to the first dot of its file name.\n"
    "\n"
    "  --help      show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "Qt's own options (-platform, -style, ...) are accepted as well.\n";

}  // namespace

int main(int argc, char** argv) {
    // Answered before Qt starts, so that they work without a display.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("varnex %s\n", KALVIO_VERSION_STRING);
            return 0;
        }
    }
    // Without a display Qt would abort; say what to do instead.
    bool platform_given = std::getenv("QT_QPA_PLATFORM") != nullptr;
    for (int i = 1; i < argc; ++i) platform_given = platform_given || std::strcmp(argv[i], "-platform") == 0;
    if (!platform_given && !std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) {
        std::fputs("varnex: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); "
                   "varnex-segment segments pictures without one\n",
                   stderr);
        return 2;
    }
    QApplication application(argc, argv);
    QStringList arguments = QApplication::arguments();
    arguments.removeFirst();
    for (const QString& argument : arguments) {
        if (argument.startsWith(QLatin1Char('-')) && argument != QStringLiteral("-")) {
            std::fprintf(stderr, "varnex: unknown option %s\n%s", argument.toLocal8Bit().constData(), kUsage);
            return 2;
        }
    }
    CVarnexApp app;
    if (!app.InitInstance(arguments)) return 1;
    return QApplication::exec();
}
