#include <QApplication>
#include <QCommandLineParser>
#include <QDebug>
#include <cstdio>
#include <filesystem>
#include <string_view>

#include "app/command_parser.h"
#include "persistence/conversion_history.h"
#include "persistence/settings_store.h"
#include "sources/path_text.h"
#include "ui/content_view.h"
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

  QApplication app(argc, argv);
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
