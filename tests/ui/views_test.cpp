#include <QSignalSpy>
#include <algorithm>
#include <cmath>
#include <fstream>

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

TEST(Waveform, ViewLoadsInTheBackground) {
  TempDir dir;
  ASSERT_TRUE(writeTone(dir / "tone.flac", 1.0));
  ui::WaveformView view;
  QSignalSpy loaded(&view, &ui::WaveformView::loaded);
  view.setUrl(q(dir / "tone.flac"));
  EXPECT_TRUE(view.isLoading());
  ASSERT_TRUE(loaded.wait(10000));
  ASSERT_EQ(view.samples().size(), 200u);
  EXPECT_NEAR(view.samples()[100], 0.5f, 0.05f);  // the -6 dBFS tone's peak
}

}  // namespace
}  // namespace vexal::test
