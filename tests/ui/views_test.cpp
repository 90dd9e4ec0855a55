#include <QPainter>
#include <QSignalSpy>
#include <algorithm>
#include <cmath>
#include <fstream>

#include "ui/colors.h"
#include "ui/file_tree_view.h"
#include "ui/job_list_model.h"
#include "ui/waveform_view.h"
#include "ui_test_support.h"

namespace vexal::test {
namespace {

using ui::loadWaveformPeaks;

std::vector<float> peaksOf(const TempDir& dir, const Signal& signal) {
  return loadWaveformPeaks(writeAudio(dir.path(), "w", signal, InputKind::wavFloat));
}

// Files shorter than the strip give a bar per frame; others 200 bars, capped at full scale.
TEST(Waveform, BarsFollowTheFileAndStayWithinFullScale) {
  TempDir dir;
  EXPECT_EQ(peaksOf(dir, sine(44100, 2, 199 / 44100.0, 440, -6)).size(), 199u);
  const auto silent = peaksOf(dir, silence(44100, 2, 1.0));
  ASSERT_EQ(silent.size(), 200u);
  EXPECT_EQ(*std::max_element(silent.begin(), silent.end()), 0.0f);
  const auto loud = peaksOf(dir, Signal{44100, 1, 22050, [](std::int64_t frame, std::uint32_t) {
                                          return static_cast<float>(4.0 * std::sin(frame * 0.06));
                                        }});
  ASSERT_EQ(loud.size(), 200u);
  EXPECT_EQ(*std::max_element(loud.begin(), loud.end()), 1.0f);
  EXPECT_TRUE(loadWaveformPeaks(dir / "missing.flac").empty());
  std::ofstream(dir / "text.mp3") << "not audio at all";
  EXPECT_TRUE(loadWaveformPeaks(dir / "text.mp3").empty());
}

QPalette darkPalette() {
  QPalette palette;
  palette.setColor(QPalette::Window, QColor(0x24, 0x24, 0x24));
  palette.setColor(QPalette::WindowText, QColor(0xee, 0xee, 0xec));
  palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x1e));
  palette.setColor(QPalette::Highlight, QColor(0x35, 0x84, 0xe4));
  return palette;
}

// The strip loads off the interface thread; its bars stand out (3:1) on a dark theme too.
TEST(Waveform, ViewLoadsInTheBackgroundAndShowsOnADarkTheme) {
  TempDir dir;
  const auto tone = writeAudio(dir.path(), "tone", sine(44100, 2, 1.0, 440, -6), InputKind::flac16);
  ui::WaveformView view;
  QSignalSpy loaded(&view, &ui::WaveformView::loaded);
  view.setUrl(q(tone));
  EXPECT_TRUE(view.isLoading());
  ASSERT_TRUE(loaded.wait(10000));
  ASSERT_EQ(view.samples().size(), 200u);
  EXPECT_NEAR(view.samples()[100], 0.5f, 0.05f);  // the -6 dBFS tone's peak

  view.setPalette(darkPalette());
  view.resize(400, ui::WaveformView::kHeight);
  QImage shot(view.size(), QImage::Format_ARGB32);
  shot.fill(darkPalette().color(QPalette::Window));
  view.render(&shot, {}, {}, QWidget::DrawChildren);
  EXPECT_GE(ui::contrastRatio(shot.pixelColor(200, 30), darkPalette().color(QPalette::Window)), 3.0);
}

// The reason on a selected failed row is drawn in the highlighted-text colour itself, at
// the contrast the palette gives (4.5:1 and more here), not faded into the selection.
TEST(JobRow, ASelectedFailedRowsReasonReadsAtFullContrast) {
  TempDir dir;
  ConverterViewModel model(storesIn(dir.path()));
  model.addFiles({q(dir / "gone.wav")});
  model.jobs()[0]->setStatus(ConversionStatus::failed(ConversionError::fileNotReadable(q(dir / "gone.wav").toStdString())));
  ui::JobListModel jobs(model);
  ui::JobItemDelegate delegate;
  QStyleOptionViewItem option;
  option.rect = QRect(0, 0, 600, ui::JobItemDelegate::kRowHeight);
  option.palette.setColor(QPalette::Highlight, QColor(0x1a, 0x5f, 0xb4));
  option.palette.setColor(QPalette::HighlightedText, Qt::white);
  option.state = QStyle::State_Selected | QStyle::State_Active | QStyle::State_Enabled;
  option.showDecorationSelected = true;  // as a list selecting whole rows draws it
  option.font.setPointSize(14);
  QImage shot(option.rect.size(), QImage::Format_ARGB32);
  shot.fill(Qt::white);
  QPainter painter(&shot);
  delegate.paint(&painter, option, jobs.index(0, 0));
  painter.end();
  const QColor selection = shot.pixelColor(300, 2);
  double best = 1.0;
  for (int x = 400; x < 590; ++x) {
    for (int y = 4; y < option.rect.height() - 4; ++y) best = std::max(best, ui::contrastRatio(shot.pixelColor(x, y), selection));
  }
  EXPECT_GE(best, 4.5);
}

}  // namespace
}  // namespace vexal::test
