#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>
#include <QSessionManager>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string_view>

#include "app/command_parser.h"
#include "orchestration/termination_signals.h"
#include "persistence/conversion_history.h"
#include "persistence/settings_store.h"
#include "sources/path_text.h"
#include "ui/content_view.h"
#include "ui/icon_gap_style.h"
#include "ui/icons.h"
#include "ui/updater_controller.h"

namespace {

// --help and --version are answered without a window system: QApplication aborts when
// there is no display, so they never reach it.
bool asksHelpOrVersion(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if (argument == "--") break;
    if (argument == "-h" || argument == "--help" || argument == "-v" || argument == "--version") {
      return true;
    }
  }
  return false;
}

// QApplication aborts with a core dump when it finds no display; said plainly instead.
// A platform chosen by name (offscreen, vnc) needs none.
bool hasDisplay() {
  const auto set = [](const char* name) { return !qEnvironmentVariableIsEmpty(name); };
  const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
  const bool windowSystem = platform.isEmpty() || platform.startsWith("xcb") || platform.startsWith("wayland");
  return !windowSystem || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

}  // namespace

int main(int argc, char** argv) {
  if (asksHelpOrVersion(argc, argv)) {
    QCoreApplication core(argc, argv);
    QCommandLineParser parser;
    vexal::describeCommand(parser, vexal::windowDescription());
    if (!parser.parse(QCoreApplication::arguments())) {
      std::fprintf(stderr, "vexal: %s\n", qPrintable(parser.errorText()));
      return 2;
    }
    const QString text = parser.isSet(QStringLiteral("help"))
                             ? parser.helpText()
                             : vexal::versionLine(vexal::windowDescription()) + QLatin1Char('\n');
    std::fputs(text.toLocal8Bit().constData(), stdout);
    return 0;
  }

  if (!hasDisplay()) {
    std::fputs("vexal: no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
               "Start it from a desktop session, or convert with vexal-cli.\n",
               stderr);
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setStyle(new vexal::ui::IconGapStyle);  // the desktop's style, one gap wider
  QApplication::setApplicationName(QStringLiteral("Vexal"));
  // No display name: the platform would append " — Vexal" to every window title.
  QApplication::setApplicationVersion(QString::fromUtf8(vexal::programVersion().data(),
                                                       static_cast<qsizetype>(vexal::programVersion().size())));
  QApplication::setOrganizationDomain(QStringLiteral("vexal.github.io"));
  // Ties the window to io.github.vexal.Vexal.desktop: its icon, name and dock entry.
  QGuiApplication::setDesktopFileName(vexal::ui::ContentView::kDesktopFileName);
  QApplication::setWindowIcon(vexal::ui::applicationIcon());

  // The paths to add as jobs (help and version were answered above).
  QCommandLineParser parser;
  vexal::describeCommand(parser, vexal::windowDescription());
  // From the bytes Qt left in argv: file names that are not UTF-8 keep them.
  QStringList arguments;
  for (int i = 0; i < argc; ++i) arguments << vexal::pathToQString(argv[i]);
  parser.process(arguments);

  vexal::ConverterViewModel::Options options;
  options.settingsFile = vexal::configURL(QStringLiteral("settings.json"));
  const vexal::ui::UpdaterController updater;
  vexal::ui::ContentView window(options, &updater);
  QObject::connect(&window.viewModel().historyManager(), &vexal::ConversionHistoryManager::saveFailed,
                   [](const QString& message) { qWarning().noquote() << message; });
  // Logout, shutdown and kill end a batch as Cancel does: no temporaries left behind.
  vexal::TerminationSignals termination({SIGTERM, SIGHUP, SIGINT});
  QObject::connect(&termination, &vexal::TerminationSignals::received, &window,
                   [&window] { window.endSession(); });
  // The application must not quit inside commitData; the session manager ends it after.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                   [&window](QSessionManager&) { window.endSession(false); });
  window.show();
  // Files and folders from the command line or a file manager ("Open With Vexal").
  QStringList paths;
  for (const QString& path : parser.positionalArguments()) {
    std::error_code error;
    paths << vexal::pathToQString(std::filesystem::absolute(vexal::pathFromQString(path), error));
  }
  if (!paths.isEmpty()) window.viewModel().importURLs(paths);
  return QApplication::exec();
}
