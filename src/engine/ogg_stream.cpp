#include "engine/ogg_stream.h"

#include <cstdint>
#include <string>

#include "engine/output_file.h"

namespace vexal {

namespace {

// djb2 over the output path's bytes: the same path always gets the same stream serial.
constexpr std::uint32_t kDjb2Seed = 5381;
constexpr std::uint32_t kDjb2Factor = 33;

int streamSerial(const std::string& path) {
  std::uint32_t h = kDjb2Seed;
  for (const char c : path) h = h * kDjb2Factor + static_cast<unsigned char>(c);
  // Serials 0 and 1 are avoided: some tools treat them as "unset".
  if ((h & 0x7FFFFFFEu) == 0) return 1;
  return static_cast<int>(h & 0x7FFFFFFFu);
}

}  // namespace

void OggStream::StreamClear::operator()(ogg_stream_state* stream) const {
  ogg_stream_clear(stream);
  delete stream;
}

OggStream::OggStream(const std::filesystem::path& output)
    : output_(output), stream_(new ogg_stream_state{}) {
  ogg_stream_init(stream_.get(), streamSerial(output.string()));
}

Expected<> OggStream::open() {
  file_.reset(std::fopen(output_.c_str(), "wb"));
  if (!file_) return Unexpected(outputFileError(kCreateDestinationStep));
  return {};
}

Expected<> OggStream::write(const ogg_page& page) {
  const auto header = static_cast<std::size_t>(page.header_len);
  const auto body = static_cast<std::size_t>(page.body_len);
  if (!file_ || std::fwrite(page.header, 1, header, file_.get()) != header ||
      std::fwrite(page.body, 1, body, file_.get()) != body) {
    return Unexpected(outputFileError(kWriteAudioStep));
  }
  if (ogg_page_eos(&page)) endOfStream_ = true;
  return {};
}

Expected<> OggStream::writePages(int fillBytes) {
  ogg_page page;
  auto next = [&] {
    return fillBytes > 0 ? ogg_stream_pageout_fill(stream_.get(), &page, fillBytes)
                         : ogg_stream_pageout(stream_.get(), &page);
  };
  while (!endOfStream_ && next() != 0) {
    if (auto written = write(page); !written) return written;
  }
  return {};
}

Expected<> OggStream::flush() {
  ogg_page page;
  while (ogg_stream_flush(stream_.get(), &page) != 0) {
    if (auto written = write(page); !written) return written;
  }
  return {};
}

Expected<> OggStream::close() {
  if (!file_ || std::fclose(file_.release()) != 0) {
    return Unexpected(outputFileError(kWriteAudioStep));
  }
  return {};
}

}  // namespace vexal
