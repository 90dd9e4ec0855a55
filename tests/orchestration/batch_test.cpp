#include <gmock/gmock.h>

#include <array>
#include <fstream>

#include "metadata/metadata_service.h"
#include "orchestration/converter_view_model.h"
#include "sources/path_text.h"
#include "orchestration_helpers.h"
#include "persistence/conversion_history.h"
#include "sources/watch_folder_service.h"
#include "support/test_support.h"

namespace vexal {
namespace {

namespace fs = std::filesystem;
using Kind = ConversionStatus::Kind;
using test::FakeEngine;
using test::TempDir;
using test::waitFor;

using test::q;

class Batch : public testing::Test {
 protected:
  Batch() {
    fs::create_directories(dir / "in");
    fs::create_directories(out());
    model.setConvertFunction(engine.function());
    QObject::connect(&model, &ConverterViewModel::batchFinished,
                     [this](int completed, int total) { finished.emplace_back(completed, total); });
  }

  fs::path out() const { return dir / "out"; }

  void addSources(int count, const std::optional<QString>& subfolder = std::nullopt) {
    QStringList paths;
    for (int i = 0; i < count; ++i) {
      const fs::path source = dir / "in" / ("s" + std::to_string(i) + ".wav");
      std::ofstream(source) << "source";
      paths << q(source);
    }
    model.addFiles(paths, subfolder);
  }

  void useFormats(std::set<OutputFormat> formats) {
    ConversionSettings settings = model.settings();
    settings.enabledFormats = std::move(formats);
    settings.preserveMetadata = false;
    model.setSettings(settings);
  }

  bool runToEnd() {
    return test::waitForBatch(model);
  }

  std::vector<fs::path> outputFiles() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(out())) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::ranges::sort(files);
    return files;
  }

  TempDir dir;
  FakeEngine engine;
  ConverterViewModel model{test::storesIn(dir.path())};
  std::vector<std::pair<int, int>> finished;
};

TEST_F(Batch, JobsStartTogetherAndConvertFormatsInRawValueOrder) {
  model.setConcurrencyLimit(8);
  engine.delay = std::chrono::milliseconds(150);
  useFormats({OutputFormat::wav, OutputFormat::flac});
  addSources(2);
  model.startConversion();
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(engine.maxInFlight(), 2);
  for (const std::string source : {"s0.wav", "s1.wav"}) {
    std::vector<OutputFormat> order;
    for (const auto& call : engine.calls()) {
      if (call.source.filename() == source) order.push_back(call.format);
    }
    EXPECT_THAT(order, testing::ElementsAre(OutputFormat::flac, OutputFormat::wav));
  }
  for (const auto& job : model.jobs()) EXPECT_EQ(job->progress(), 1.0);
  EXPECT_THAT(outputFiles(), testing::ElementsAre(out() / "s0.flac", out() / "s0.wav",
                                                  out() / "s1.flac", out() / "s1.wav"));
  EXPECT_THAT(finished, testing::ElementsAre(std::pair(2, 2)));

  // One entry per output file, with its size and its source's.
  const auto& entries = model.historyManager().entries();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries.front().fileSizeAfter, 7);   // "partial"
  EXPECT_EQ(entries.front().fileSizeBefore, 6);  // "source"
}

TEST_F(Batch, NeverMoreJobsThanTheLimitAndStartsInListOrder) {
  model.setConcurrencyLimit(4);
  engine.delay = std::chrono::milliseconds(40);
  useFormats({OutputFormat::wav});
  addSources(10);
  int mostConverting = 0;
  std::vector<Uuid> started;
  QObject::connect(&model, &ConverterViewModel::jobChanged,
                   [&](const Uuid& id, ConversionJob::Field field) {
                     mostConverting = std::max(mostConverting, model.convertingCount());
                     if (field == ConversionJob::Field::status &&
                         model.job(id)->status().kind() == Kind::converting) {
                       started.push_back(id);
                     }
                   });
  model.startConversion();
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(mostConverting, 4);
  EXPECT_LE(engine.maxInFlight(), 4);
  ASSERT_EQ(started.size(), 10u);
  for (std::size_t i = 0; i < 10; ++i) EXPECT_EQ(started[i], model.jobs()[i]->id());
  EXPECT_THAT(finished, testing::ElementsAre(std::pair(10, 10)));
}

// s0's wav fails but its flac is kept; every output of s1 fails; s2 converts. Each file
// kept gets its own history entry, and only the failed formats of s0 a failed one.
TEST_F(Batch, AFailedFormatKeepsTheOtherOutputsAndNamesItself) {
  useFormats({OutputFormat::wav, OutputFormat::flac, OutputFormat::mp3});
  engine.failWhen = [](const FakeEngine::Call& call) {
    return (call.source.filename() == "s0.wav" && call.format == OutputFormat::mp3) ||
           call.source.filename() == "s1.wav";
  };
  addSources(3);
  model.startConversion();
  ASSERT_TRUE(runToEnd());
  const auto& job = *model.jobs().front();
  ASSERT_EQ(job.status().kind(), Kind::failed);
  EXPECT_EQ(job.status().text(), "MP3: Write audio data failed (OSStatus -5: Input/output error)");
  // Every format failing alike names none.
  EXPECT_EQ(model.jobs()[1]->status().text(), "Write audio data failed (OSStatus -5: Input/output error)");
  EXPECT_EQ(job.outputURLs().size(), 2u);
  EXPECT_EQ(job.outputURLs().at(OutputFormat::wav), out() / "s0.wav");
  EXPECT_EQ(engine.calls().size(), 9u);
  EXPECT_THAT(outputFiles(), testing::ElementsAre(out() / "s0.flac", out() / "s0.wav",
                                                  out() / "s2.flac", out() / "s2.mp3",
                                                  out() / "s2.wav"));
  EXPECT_THAT(finished, testing::ElementsAre(std::pair(1, 3)));

  for (const auto& entry : model.historyManager().entries()) {
    EXPECT_NE(entry.sourceFileName, "s1.wav");
    const bool failed = entry.sourceFileName == "s0.wav" && entry.outputFormat == "MP3";
    EXPECT_EQ(entry.successful, !failed) << entry.outputFileName.toStdString();
  }
  EXPECT_EQ(model.historyManager().entries().size(), 6u);
}

// Folders a batch made for jobs that kept nothing go again; one that existed stays.
TEST_F(Batch, FailedJobsLeaveNoFolderBehind) {
  useFormats({OutputFormat::wav});
  fs::create_directories(out() / "Older");
  for (const char* folder : {"Older", "New/Deep", "Kept"}) {
    const fs::path source = dir / "in" / (std::string(folder).substr(0, 3) + ".wav");
    std::ofstream(source) << "source";
    model.addFiles({q(source)}, QString(folder));
  }
  engine.failWhen = [](const FakeEngine::Call& call) {
    return call.source.filename() != "Kep.wav";
  };
  model.startConversion();
  ASSERT_TRUE(runToEnd());
  EXPECT_THAT(outputFiles(), testing::ElementsAre(out() / "Kept" / "Kep.wav"));
  EXPECT_TRUE(fs::is_directory(out() / "Older"));
  EXPECT_FALSE(fs::exists(out() / "New"));
}

// Cancel stops the running jobs at once, removes their partial outputs and the folder
// made for them, and starts nothing more.
TEST_F(Batch, CancelStopsAtOnceRemovesPartialsAndStartsNothingMore) {
  model.setConcurrencyLimit(2);
  engine.delay = std::chrono::seconds(30);
  useFormats({OutputFormat::wav});
  addSources(4, QString("Held"));
  model.startConversion();
  ASSERT_TRUE(waitFor([&] { return engine.inFlight() == 2; }));
  ASSERT_TRUE(waitFor([&] { return model.convertingCount() == 2; }));
  EXPECT_TRUE(fs::is_directory(out() / "Held"));
  model.cancelConversion();
  EXPECT_FALSE(model.isConverting());
  EXPECT_EQ(model.jobs()[0]->status().kind(), Kind::cancelled);
  EXPECT_EQ(model.jobs()[1]->status().kind(), Kind::cancelled);

  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(model.jobs()[0]->status(), ConversionStatus::failed(ConversionError::cancelled()));
  EXPECT_EQ(model.jobs()[2]->status().kind(), Kind::pending);
  EXPECT_EQ(model.jobs()[3]->status().kind(), Kind::pending);
  EXPECT_EQ(engine.calls().size(), 2u);
  EXPECT_FALSE(fs::exists(out() / "Held"));  // a folder made for cancelled jobs goes again
  EXPECT_TRUE(finished.empty());
  EXPECT_TRUE(model.historyManager().entries().empty());

  // The jobs left pending go into the next batch.
  engine.delay = std::chrono::milliseconds(5);
  model.startConversion();
  ASSERT_TRUE(runToEnd());
  EXPECT_THAT(finished, testing::ElementsAre(std::pair(2, 2)));
}

TEST_F(Batch, SettingsEditedDuringABatchDoNotReachIt) {
  model.setConcurrencyLimit(1);
  useFormats({OutputFormat::mp3});
  addSources(3);
  model.startConversion();
  useFormats({OutputFormat::opus});
  model.setOutputDirectory(q(dir / "elsewhere"));
  ASSERT_TRUE(runToEnd());
  ASSERT_EQ(engine.calls().size(), 3u);
  for (const auto& call : engine.calls()) {
    EXPECT_EQ(call.format, OutputFormat::mp3);
    EXPECT_EQ(call.settings.enabledFormats, std::set{OutputFormat::mp3});
    EXPECT_EQ(call.output.parent_path(), out());
  }
}

// Tags are read off the main thread before planning, so the template sees them.
TEST_F(Batch, MetadataPreloadFeedsTheNamingTemplate) {
  const fs::path tagged = test::writeAudio(dir / "in", "tagged", test::sine(44100, 2, 0.2, 440, -6),
                                           test::InputKind::flac16);
  AudioMetadata tags;
  tags.artist = "Band";
  tags.title = "Song";
  ASSERT_FALSE(MetadataService::writeToFlac(tags, tagged).has_value());
  model.addFiles({q(tagged)});
  ConversionSettings settings;
  settings.enabledFormats = {OutputFormat::wav};
  settings.namingTemplate.templateText = "{artist} - {title}";
  model.setSettings(settings);
  model.startConversion();
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(model.jobs().front()->outputURLs().at(OutputFormat::wav), out() / "Band - Song.wav");
}

TEST_F(Batch, AFileAppearingAfterPlanningIsNeverOverwritten) {
  model.setConcurrencyLimit(1);
  useFormats({OutputFormat::wav});
  addSources(2);
  engine.beforeWrite = [this](const FakeEngine::Call& call) {
    if (call.source.filename() == "s0.wav") std::ofstream(out() / "s1.wav") << "keep";
  };
  model.startConversion();
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(model.jobs()[1]->outputURLs().at(OutputFormat::wav), out() / "s1 (1).wav");
  std::string kept;
  std::ifstream(out() / "s1.wav") >> kept;
  EXPECT_EQ(kept, "keep");
}

// Verification decodes the real file the conversion wrote.
TEST_F(Batch, VerificationFailsOnNaNSamplesAndPassesCleanOutput) {
  useFormats({OutputFormat::wav});
  ConversionSettings settings = model.settings();
  settings.verifyAfterConversion = true;
  model.setSettings(settings);
  addSources(3);
  model.setConvertFunction([](const fs::path& source, const fs::path& output, OutputFormat,
                              const ConversionSettings&, std::optional<std::int64_t>,
                              std::optional<std::int64_t>, ProgressCallback,
                              std::stop_token, const AudioMetadata*,
                              ConversionTally*) -> Expected<> {
    if (source.filename() == "s2.wav") {
      std::ofstream(output) << "not audio at all";
    } else {
      test::writeWav(output, 20'000, 48000, 2, true, source.filename() == "s1.wav");
    }
    return {};
  });
  model.startConversion();
  ASSERT_TRUE(runToEnd());
  EXPECT_EQ(model.jobs()[0]->status().kind(), Kind::completed);
  for (int i : {1, 2}) {
    EXPECT_EQ(model.jobs()[i]->status().text(),
              "Unsupported format: Verification failed: output is not decodable");
  }
  EXPECT_THAT(outputFiles(), testing::ElementsAre(out() / "s0.wav"));
}

// A job's progress spans its formats: a third done when the first of three outputs is,
// never back to 0 for the next one, and the format being written is named.
TEST_F(Batch, AThreeFormatJobsProgressOnlyMovesForward) {
  engine.delay = std::chrono::milliseconds(60);
  useFormats({OutputFormat::wav, OutputFormat::flac, OutputFormat::mp3});
  addSources(1);
  const auto job = model.jobs()[0];
  std::vector<double> seen;
  std::vector<ConversionJob::OutputStep> steps;
  QObject::connect(&model, &ConverterViewModel::jobChanged, [&](const Uuid&, ConversionJob::Field field) {
    const auto& step = job->currentOutput();
    if (field != ConversionJob::Field::progress || job->status().kind() != Kind::converting || !step) return;
    seen.push_back(job->progress());
    // Output k of n moves the bar within its own nth.
    EXPECT_GE(job->progress(), step->index / 3.0 - 1e-9);
    EXPECT_LE(job->progress(), (step->index + 1) / 3.0 + 1e-9);
    if (steps.empty() || steps.back() != *step) steps.push_back(*step);
  });
  model.startConversion();
  ASSERT_TRUE(runToEnd());
  EXPECT_TRUE(std::ranges::is_sorted(seen)) << testing::PrintToString(seen);
  EXPECT_GT(seen.size(), 6u);
  EXPECT_EQ(job->progress(), 1.0);
  using Step = ConversionJob::OutputStep;
  EXPECT_THAT(steps, testing::ElementsAre(Step{OutputFormat::flac, 0, 3}, Step{OutputFormat::mp3, 1, 3},
                                          Step{OutputFormat::wav, 2, 3}));
}

// A file found during a watch-triggered batch converts in the next batch by itself; it
// counts from the moment it is queued, and the overall fraction never falls for it.
TEST_F(Batch, WatchedFileFoundMidBatchConvertsInTheNextBatch) {
  useFormats({OutputFormat::wav});
  engine.delay = std::chrono::milliseconds(300);
  model.watchFolderService().startWatching(q(dir / "in"));
  std::ofstream(dir / "in" / "w1.flac") << "";
  std::ofstream(dir / "in" / "w2.flac") << "";
  std::vector<double> overall;
  QObject::connect(&model, &ConverterViewModel::jobChanged, [&](const Uuid&, ConversionJob::Field) {
    if (model.isConverting()) overall.push_back(model.overallProgress());
  });
  model.handleWatchedFiles({q(dir / "in" / "w1.flac")});
  EXPECT_TRUE(model.isConverting());
  ASSERT_TRUE(waitFor([&] { return model.jobs()[0]->progress() >= 0.5; }));
  model.handleWatchedFiles({q(dir / "in" / "w2.flac")});
  overall.push_back(model.overallProgress());
  EXPECT_EQ(model.jobs()[1]->status().kind(), Kind::pending);
  EXPECT_EQ(model.batchStartedCount(), 1);
  EXPECT_EQ(model.batchTotal(), 2);
  ASSERT_TRUE(waitFor([&] { return model.jobs()[1]->status().kind() == Kind::converting; }));
  EXPECT_EQ(model.batchStartedCount(), 2);
  EXPECT_EQ(model.batchTotal(), 2);
  ASSERT_TRUE(runToEnd());
  EXPECT_THAT(finished, testing::ElementsAre(std::pair(1, 1), std::pair(1, 1)));
  EXPECT_EQ(model.jobs()[1]->status().kind(), Kind::completed);
  EXPECT_TRUE(std::ranges::is_sorted(overall)) << testing::PrintToString(overall);
  EXPECT_GT(overall.size(), 4u);
  EXPECT_DOUBLE_EQ(model.overallProgress(), 1.0);
  model.watchFolderService().stopWatching();
}

// File names are bytes: a source whose name is not UTF-8 (Latin-1 "é") converts from
// every way in, and its output keeps the same bytes.
enum class Entry { folderWalk, watchedFolder, cueSheet };

class NotUtf8Source : public testing::TestWithParam<Entry> {};

std::string entryName(const testing::TestParamInfo<Entry>& info) {
  return std::array{"FolderWalk", "WatchedFolder", "CueSheet"}[info.index];
}

TEST_P(NotUtf8Source, ConvertsAndKeepsItsBytes) {
  TempDir dir;
  fs::create_directories(dir / "in");
  const std::string latin1 = "caf\xe9";
  const fs::path source = dir / "in" / (latin1 + ".wav");
  ConverterViewModel model(test::storesIn(dir.path()));
  ConversionSettings settings;
  settings.enabledFormats = {OutputFormat::flac};
  model.setSettings(settings);
  fs::path expected = dir / "out" / "in" / (latin1 + ".flac");
  switch (GetParam()) {
    case Entry::folderWalk:
      test::writeWav(source, 4410, 44100, 2);
      model.importURLs({q(dir / "in")});
      break;
    case Entry::watchedFolder:
      // Starts the batch by itself once the file has settled.
      model.watchFolderService().startWatching(q(dir / "in"));
      test::writeWav(source, 4410, 44100, 2);
      ASSERT_TRUE(waitFor([&] { return !model.jobs().empty(); }, 10'000));
      expected = dir / "out" / (latin1 + ".flac");
      break;
    case Entry::cueSheet:
      test::writeWav(source, 4410, 44100, 2);
      // The sheet is Latin-1 too: its FILE line holds the same byte. Without an album
      // title the sheet's name names the folder.
      std::ofstream(dir / "in" / (latin1 + ".cue"))
          << "FILE \"" << latin1 << ".wav\" WAVE\nTRACK 01 AUDIO\nTITLE \"Un\"\nINDEX 01 00:00:00\n";
      model.importURLs({pathToQString(dir / "in" / (latin1 + ".cue"))});
      expected = dir / "out" / latin1 / "01 Un.flac";
      break;
  }
  ASSERT_EQ(model.jobs().size(), 1u);
  EXPECT_EQ(model.jobs()[0]->sourceURL(), source);
  if (!model.isConverting()) model.startConversion();
  ASSERT_TRUE(test::waitForBatch(model, 60'000));
  model.watchFolderService().stopWatching();
  const auto& job = *model.jobs()[0];
  ASSERT_EQ(job.status().kind(), ConversionStatus::Kind::completed) << job.status().text();
  EXPECT_EQ(job.outputURLs().at(OutputFormat::flac), expected);
  EXPECT_EQ(test::decodeFile(expected).frames(), 4410);
}

INSTANTIATE_TEST_SUITE_P(Entries, NotUtf8Source,
                         testing::Values(Entry::folderWalk, Entry::watchedFolder, Entry::cueSheet),
                         entryName);

}  // namespace
}  // namespace vexal
