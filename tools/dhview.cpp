// dhview: the simulated display head live in a browser.
//
//   dhview --root ROOT [--port PORT] [--quality Q]
//
// Serves, on 127.0.0.1 only, one page (tools/dhview.html, built in) that shows the panel of
// the simulated device under ROOT as a person sees it, the device's state beside it and the
// last 50 messages of both links, with the controls a host-software engineer wants: the USB
// cable, the knob, the controller's mode, temperature and pump speed, a screenshot.
//
//   GET  /                     the page
//   GET  /stream.mjpg          the panel as JPEG pictures in one multipart response, one part
//                              each time the picture changes (nothing while it is still)
//   GET  /screenshot.png       the panel as seen now, composed afresh, as PNG
//   GET  /state                the device's state as JSON
//   GET  /events               server-sent events: "state" (JSON, at each change) and "trace"
//                              (a JSON array of the link messages that came since the last)
//   POST /control/cable?to=plugged|pulled
//   POST /control/knob?steps=N                      (1..13)
//   POST /control/controller?mode=M&temp=T&pump=P   (any of them; 0..2, 0..255, 0..65535)
// A control answers {"ok":true} or {"ok":false,"error":"..."}. Controls must carry the header
// "X-Dhview: 1" (a page from elsewhere cannot add it without asking first, which dhview never
// grants), and every request must name 127.0.0.1 or localhost as its host.
//
// It prints "dhview: http://127.0.0.1:PORT/" once it listens (--port 0 takes a free port) and
// ends cleanly on SIGINT or SIGTERM. Exit status 2 on a usage error or a port that another
// program listens on, 1 when it cannot listen for another reason.
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "tools/dhview_picture.h"
#include "tools/dhview_state.h"

extern const unsigned char dhview_page[];
extern const unsigned long dhview_page_size;

namespace {

constexpr int default_port = 7480;
constexpr int default_quality = 85;
// Beyond this many picture streams (or event streams) the oldest is ended: a client that went
// away while the panel was still is noticed only at the next write.
constexpr int most_streams = 16;
constexpr auto stream_wait = std::chrono::milliseconds(250);
constexpr auto keep_alive = std::chrono::seconds(10);
constexpr const char *boundary = "dhviewframe";

std::atomic<bool> stopping{false};
std::atomic<uint64_t> picture_serial{0};
std::atomic<uint64_t> event_serial{0};

struct Options {
  std::string root;
  int port = default_port;
  int quality = default_quality;
};

void usage(FILE *out) {
  fprintf(out,
          "usage: dhview --root ROOT [--port PORT] [--quality Q]\n"
          "\n"
          "Serves the simulated display head under ROOT (the root scripts/sim made) live in a\n"
          "browser, on 127.0.0.1 only: the panel as a person sees it, the device's state, the\n"
          "traffic of both links and controls for the cable, the knob and the controller.\n"
          "\n"
          "  --root ROOT   the simulator's root\n"
          "  --port PORT   the port to listen on (default %d; 0 takes a free one)\n"
          "  --quality Q   JPEG quality of the live picture, 1..100 (default %d)\n",
          default_port, default_quality);
}

bool parse_int(const char *text, int low, int high, int &out) {
  char *end = nullptr;
  errno = 0;
  const long value = strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || value < low || value > high) return false;
  out = int(value);
  return true;
}

bool parse_options(int argc, char **argv, Options &options) {
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const bool has_value = i + 1 < argc;
    if (word == "--root" && has_value) {
      options.root = argv[++i];
    } else if (word == "--port" && has_value) {
      if (!parse_int(argv[++i], 0, 65535, options.port)) return false;
    } else if (word == "--quality" && has_value) {
      if (!parse_int(argv[++i], 1, 100, options.quality)) return false;
    } else {
      return false;
    }
  }
  return !options.root.empty();
}

std::string own_directory() {
  char path[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  path[n] = '\0';
  std::string text(path);
  return text.substr(0, text.rfind('/'));
}

void answer(httplib::Response &res, const std::string &error) {
  nlohmann::json body = error.empty() ? nlohmann::json{{"ok", true}}
                                      : nlohmann::json{{"ok", false}, {"error", error}};
  if (!error.empty()) res.status = 400;
  res.set_header("Cache-Control", "no-store");
  res.set_content(body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                  "application/json");
}

// A request must name this machine as its host: a page elsewhere whose name was pointed at
// 127.0.0.1 must not reach the controls or the pictures.
bool local_host(const httplib::Request &req) {
  std::string host = req.get_header_value("Host");
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']') == std::string::npos) host.resize(colon);
  return host == "127.0.0.1" || host == "localhost";
}

// A picture stream's place among the viewers, for as long as any copy of its provider lives.
struct ViewerTicket {
  ViewerTicket() { picture_viewer_enter(); }
  ~ViewerTicket() { picture_viewer_leave(); }
  ViewerTicket(const ViewerTicket &) = delete;
  ViewerTicket &operator=(const ViewerTicket &) = delete;
};

void serve_stream(httplib::Response &res) {
  const uint64_t id = ++picture_serial;
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      std::string("multipart/x-mixed-replace; boundary=") + boundary,
      [id, last = uint64_t(0), ticket = std::make_shared<ViewerTicket>()](
          size_t, httplib::DataSink &sink) mutable {
        if (stopping.load() || picture_serial.load() >= id + most_streams) return false;
        std::shared_ptr<const ViewFrame> frame = picture_wait_newer(last, stream_wait);
        if (!frame) return !stopping.load();
        last = frame->number;
        const std::string head = std::string("--") + boundary +
                                 "\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                 std::to_string(frame->jpeg.size()) +
                                 "\r\nX-Frame: " + std::to_string(frame->number) + "\r\n\r\n";
        return sink.write(head.data(), head.size()) &&
               sink.write(frame->jpeg.data(), frame->jpeg.size()) && sink.write("\r\n", 2);
      });
}

void serve_events(httplib::Response &res) {
  const uint64_t id = ++event_serial;
  res.set_header("Cache-Control", "no-store");
  res.set_chunked_content_provider(
      "text/event-stream",
      [id, state = uint64_t(0), trace = uint64_t(0),
       quiet_since = std::chrono::steady_clock::now()](size_t, httplib::DataSink &sink) mutable {
        if (stopping.load() || event_serial.load() >= id + most_streams) return false;
        StateUpdate update;
        if (!state_wait_newer(state, trace, stream_wait, update)) return false;
        std::string out;
        if (update.number > state) out += "event: state\ndata: " + update.state + "\n\n";
        if (!update.trace.empty()) {
          out += "event: trace\ndata: [";
          for (size_t i = 0; i < update.trace.size(); ++i) out += (i ? "," : "") + update.trace[i];
          out += "]\n\n";
        }
        state = update.number;
        trace = update.last_trace;
        const auto now = std::chrono::steady_clock::now();
        if (out.empty() && now - quiet_since >= keep_alive) out = ": still here\n\n";
        if (out.empty()) return true;
        quiet_since = now;
        return sink.write(out.data(), out.size());
      });
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
    usage(stdout);
    return 0;
  }
  Options options;
  if (!parse_options(argc, argv, options)) {
    usage(stderr);
    return 2;
  }
  struct stat root_stat {};
  if (stat(options.root.c_str(), &root_stat) != 0 || !S_ISDIR(root_stat.st_mode)) {
    fprintf(stderr, "dhview: %s is no directory\n", options.root.c_str());
    return 2;
  }
  const SimLayout layout = sim_layout(options.root);
  const std::string dhmcu = own_directory() + "/dhmcu";

  // The signals are taken by one thread of their own; every other thread blocks them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  httplib::Server server;
  server.new_task_queue = [] { return new httplib::ThreadPool(2 * most_streams + 4); };
  server.set_payload_max_length(4096);  // no request here carries a body worth more
  server.set_pre_routing_handler([](const httplib::Request &req, httplib::Response &res) {
    if (!local_host(req)) {
      res.status = 403;
      res.set_content("dhview serves this machine only\n", "text/plain");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST" && req.get_header_value("X-Dhview") != "1") {
      res.status = 403;
      res.set_content("{\"ok\":false,\"error\":\"a control needs the header X-Dhview: 1\"}",
                      "application/json");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  server.Get("/", [](const httplib::Request &, httplib::Response &res) {
    // The page carries the state as it is now, so that it shows values before its events
    // connect ("<" escaped, so that no text in the state can end the script).
    StateUpdate update;
    state_wait_newer(0, 0, std::chrono::milliseconds(1000), update);
    std::string state;
    for (const char c : update.state) state += c == '<' ? std::string("\\u003c") : std::string(1, c);
    std::string page(reinterpret_cast<const char *>(dhview_page), dhview_page_size);
    const std::string mark = "/*DHVIEW_INITIAL_STATE*/null";
    if (const size_t at = page.find(mark); at != std::string::npos && !state.empty()) page.replace(at, mark.size(), state);
    res.set_header("Cache-Control", "no-store");
    res.set_content(page, "text/html; charset=utf-8");
  });
  server.Get("/stream.mjpg", [](const httplib::Request &, httplib::Response &res) { serve_stream(res); });
  server.Get("/events", [](const httplib::Request &, httplib::Response &res) { serve_events(res); });
  server.Get("/state", [](const httplib::Request &, httplib::Response &res) {
    StateUpdate update;
    state_wait_newer(0, 0, std::chrono::milliseconds(1000), update);
    res.set_header("Cache-Control", "no-store");
    res.set_content(update.state.empty() ? "{}" : update.state, "application/json");
  });
  server.Get("/screenshot.png", [&layout](const httplib::Request &, httplib::Response &res) {
    PanelPicture picture;
    std::string error, png;
    if (!compose_as_seen(layout.device, picture, error) || !encode_png(picture, png, error)) {
      res.status = 503;
      res.set_content(error + "\n", "text/plain");
      return;
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(png, "image/png");
  });
  // The controls take their values from the query and read no body (the ContentReader
  // form), so that a POST without one, as curl -X POST sends it, is served too.
  server.Post("/control/cable", [&layout](const httplib::Request &req, httplib::Response &res,
                                                 const httplib::ContentReader &) {
    const std::string to = req.get_param_value("to");
    if (to != "plugged" && to != "pulled") return answer(res, "to= takes plugged or pulled");
    answer(res, set_cable(layout, to == "plugged"));
  });
  server.Post("/control/knob", [&layout, &dhmcu](const httplib::Request &req, httplib::Response &res,
                                                 const httplib::ContentReader &) {
    int steps = 1;
    if (req.has_param("steps") && !parse_int(req.get_param_value("steps").c_str(), 1, 13, steps)) {
      return answer(res, "steps= takes 1..13");
    }
    answer(res, knob_steps(layout, steps, dhmcu));
  });
  server.Post("/control/controller", [&layout](const httplib::Request &req, httplib::Response &res,
                                                 const httplib::ContentReader &) {
    struct Field {
      const char *name;
      int high;
    };
    const Field fields[] = {{"mode", 2}, {"temp", 255}, {"pump", 65535}};
    std::vector<std::string> commands;
    for (const Field &field : fields) {
      if (!req.has_param(field.name)) continue;
      int value = 0;
      if (!parse_int(req.get_param_value(field.name).c_str(), 0, field.high, value)) {
        return answer(res, std::string(field.name) + "= takes 0.." + std::to_string(field.high));
      }
      commands.push_back(std::string(field.name) + " " + std::to_string(value));
    }
    if (commands.empty()) return answer(res, "give mode=, temp= or pump=");
    for (const std::string &command : commands) {
      std::string reply;
      const std::string error = controller_command(layout, command, reply);
      if (!error.empty()) return answer(res, error);
    }
    answer(res, "");
  });

  // SO_REUSEADDR alone: the library's default adds SO_REUSEPORT, with which a second dhview
  // would share the port with the first and the answers would alternate between two devices.
  server.set_socket_options([](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  int port = options.port;
  if (port == 0) {
    port = server.bind_to_any_port("127.0.0.1");
  } else if (!server.bind_to_port("127.0.0.1", port)) {
    port = -1;
  }
  if (port < 0) {
    // Why: the library keeps errno to itself, so the bind is tried once more here.
    int why = errno;
    if (options.port != 0) {
      const int probe = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      const int yes = 1;
      setsockopt(probe, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      sockaddr_in where{};
      where.sin_family = AF_INET;
      where.sin_port = htons(uint16_t(options.port));
      where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      why = bind(probe, reinterpret_cast<sockaddr *>(&where), sizeof where) == 0 ? 0 : errno;
      close(probe);
    }
    if (why == EADDRINUSE) {
      fprintf(stderr,
              "dhview: port %d on 127.0.0.1 is taken (another dhview, or another program, listens there); "
              "give another with --port PORT, or --port 0 for a free one\n",
              options.port);
      return 2;
    }
    fprintf(stderr, "dhview: cannot listen on 127.0.0.1:%d: %s\n", options.port, strerror(why));
    return 1;
  }
  picture_watch_start(layout.device, options.quality);
  state_watch_start(layout);
  std::thread signal_thread([&server, signals] {
    int taken = 0;
    sigwait(&signals, &taken);
    stopping.store(true);
    picture_watch_stop();
    state_watch_stop();
    server.stop();
  });
  printf("dhview: http://127.0.0.1:%d/\n", port);
  fflush(stdout);
  const bool served = server.listen_after_bind();
  if (!stopping.load()) {  // the server failed on its own: let the signal thread end too
    kill(getpid(), SIGTERM);
  }
  signal_thread.join();
  return served || stopping.load() ? 0 : 1;
}
