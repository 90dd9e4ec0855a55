#pragma once

// Shared by the window suites: a shown window over a real orchestrator whose stores live
// in a temp dir, and menu lookups.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <memory>

#include "orchestration/orchestration_helpers.h"  // waitFor, writeWav, FakeEngine
#include "ui/content_view.h"
#include "ui/file_tree_view.h"

// Readable QString values in failure messages.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }

namespace vexal::test {

inline QAction* findAction(QMenu* menu, const QString& text) {
  for (QAction* action : menu->actions()) {
    if (action->text() == text) return action;
  }
  return nullptr;
}

class WindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directories(temp_ / "out");
    window_ = std::make_unique<ui::ContentView>(options());
    window_->show();
    window_->activateWindow();
    QApplication::setActiveWindow(window_.get());
    QCoreApplication::processEvents();
  }
  void TearDown() override {
    if (window_ && window_->viewModel().isConverting()) window_->viewModel().cancelConversion();
    window_.reset();
  }

  ConverterViewModel& vm() { return window_->viewModel(); }
  void enable(std::set<OutputFormat> formats) {
    ConversionSettings settings = vm().settings();
    settings.enabledFormats = std::move(formats);
    vm().setSettings(settings);
  }
  // Clicks the list's row of `index`, as the mouse selects it.
  void clickRow(const QModelIndex& index) {
    ui::FileTreeView* tree = window_->fileTree();
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(index).center());
  }
  QString path(const std::string& name) const { return q(temp_ / name); }
  ConverterViewModel::Options options(const std::string& prefix = "") const {
    ConverterViewModel::Options result = storesIn(temp_.path());
    result.historyFile = path(prefix + "history.json");
    result.presetsFile = path(prefix + "presets.json");
    return result;
  }

  TempDir temp_;
  std::unique_ptr<ui::ContentView> window_;
};

}  // namespace vexal::test
