// Following the simulated device's logs (see dhview_feeds.h).
#include "tools/dhview_feeds.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <regex>

void FileFollower::poll(const std::function<void(const std::string &)> &take) {
  const int fd = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return;
  }
  if (uint64_t(st.st_size) < offset_) {  // made anew: from its start
    offset_ = 0;
    partial_.clear();
    dropping_ = false;
  }
  char buffer[16384];
  for (;;) {
    const ssize_t n = pread(fd, buffer, sizeof buffer, off_t(offset_));
    if (n <= 0) break;
    offset_ += uint64_t(n);
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        if (!dropping_) take(partial_);
        partial_.clear();
        dropping_ = false;
      } else if (!dropping_) {
        partial_.push_back(buffer[i]);
        if (partial_.size() > line_limit) {
          partial_.clear();
          dropping_ = true;
        }
      }
    }
  }
  close(fd);
}

namespace {

constexpr size_t text_searched = 4096;  // longer texts are never a queue count

// The command code an entry names: a numeric "code" field, or "0xNN" in a string one.
std::optional<int> entry_code(const nlohmann::json &line) {
  const auto found = line.find("code");
  if (found == line.end()) return std::nullopt;
  if (found->is_number_integer()) return found->get<int>();
  if (found->is_string()) {
    const std::string &text = found->get_ref<const std::string &>();
    try {
      return std::stoi(text, nullptr, 0);
    } catch (...) {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

// The blocks queued that a reply from the device reports: a numeric "queued" field, or
// "queued N" / "N queued" in its text.
std::optional<int> reported_queue(const nlohmann::json &line) {
  const auto field = line.find("queued");
  if (field != line.end() && field->is_number_integer()) return field->get<int>();
  // Bounded repeats and a bounded text: the regex engine recurses as deep as its match runs.
  static const std::regex in_text(R"((?:queued[ :=]{0,3}(\d{1,6}))|(?:(\d{1,6}) (?:blocks? )?queued))");
  const std::string &text = line["text"].get_ref<const std::string &>();
  if (text.size() > text_searched) return std::nullopt;
  std::smatch match;
  if (!std::regex_search(text, match, in_text)) return std::nullopt;
  return std::stoi(match[1].matched ? match[1].str() : match[2].str());
}

constexpr int end_of_stream_code = 0x7B;

}  // namespace

void trace_take(TraceFeed &feed, const std::string &line) {
  nlohmann::json parsed = nlohmann::json::parse(line, nullptr, false);
  if (!parsed.is_object()) return;
  const auto text = parsed.find("text");
  if (text == parsed.end() || !text->is_string()) return;
  const auto link = parsed.find("link");
  const auto dir = parsed.find("dir");
  const bool host_link = link != parsed.end() && *link == "host";
  if (host_link && dir != parsed.end() && *dir == "from-device") {
    if (std::optional<int> queued = reported_queue(parsed)) feed.queued_blocks = queued;
  } else if (host_link && entry_code(parsed) == end_of_stream_code) {
    feed.queued_blocks = 0;  // the device empties its queue at the end of a stream
  }
  feed.entries.push_back({feed.next_number++, std::move(parsed)});
  while (feed.entries.size() > TraceFeed::capacity) feed.entries.pop_front();
}

void player_take(PlayerFeed &feed, const std::string &line) {
  static const std::string started = "play_local_h264 name: ";
  const size_t at = line.find(started);
  if (at != std::string::npos) {
    std::string file = line.substr(at + started.size());
    while (!file.empty() && isspace(static_cast<unsigned char>(file.back()))) file.pop_back();
    feed.playing = true;
    feed.file = file;
    feed.follows_theme = false;
    return;
  }
  // The theme changed while it played: it went on with the new theme's background.
  if (line.find("switch h264 file") != std::string::npos) {
    feed.follows_theme = true;
    return;
  }
  // A stop, or a player that found nothing to play.
  if (line.find("stop_local_h264") != std::string::npos ||
      line.find("local h264 file gives no data") != std::string::npos ||
      line.find("open err:1") != std::string::npos) {
    feed.playing = false;
  }
}
