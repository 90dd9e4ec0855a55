#pragma once

#include <ogg/ogg.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "model/conversion_error.h"

namespace vexal {

// One Ogg logical stream written to a new file: packets in, pages out, every write
// checked. Shared by the Vorbis and Opus encoders.
class OggStream {
 public:
  // The stream serial follows from the path, so the same path always gets the same one.
  explicit OggStream(const std::filesystem::path& output);

  // Creates (or replaces) the file; the stream writes nothing before.
  Expected<> open();
  void packetIn(ogg_packet& packet) { ogg_stream_packetin(stream_.get(), &packet); }
  // Every complete page (libogg's default of about 4 KB, else at least `fillBytes` or
  // 255 segments); the end-of-stream page once a packet marked e_o_s is in.
  Expected<> writePages(int fillBytes = 0);
  // Every page, the last one short: headers get pages of their own this way.
  Expected<> flush();
  // Closes the file; fails when buffered data could not be written.
  Expected<> close();

 private:
  Expected<> write(const ogg_page& page);

  struct StreamClear {
    void operator()(ogg_stream_state* stream) const;
  };
  struct FileClose {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  std::filesystem::path output_;
  std::unique_ptr<ogg_stream_state, StreamClear> stream_;
  std::unique_ptr<std::FILE, FileClose> file_;
  bool endOfStream_ = false;
};

}  // namespace vexal
