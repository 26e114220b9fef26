#include "simulate/simulate.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <set>

#include "app/app.h"
#include "platform/error.h"
#include "platform/sim/world.h"
#include "programme/document.h"
#include "programme/entry.h"
#include "simulate/simulate_events.h"
#include "simulate/simulate_options.h"
#include "simulate/simulate_trace.h"

// The run of `vorn simulate`: every use of the simulated platform is here.
namespace vorn::app {

namespace {

using simulate::OptionError;
using simulate::Options;

constexpr const char* kPackagedName = "vorn-vimeo-playlist";
constexpr const char* kPackagedType = "json";
constexpr const char* kPackagedPath = "/usr/share/vorn/vorn-vimeo-playlist.json";

// Lengths listed in a playlist document, for streams not given a length explicitly; anything
// that is not an entry with an address and a listed duration is left to the World's default.
void takeListedLengths(const std::string& document, std::map<std::string, double>& lengths,
                       std::set<std::string>& listed) {
  const auto parsed = programme::parseDocument(document);
  const auto* json = std::get_if<JsonPtr>(&parsed);
  if (json == nullptr || !(*json)->isArray()) {
    return;
  }
  for (const Json& element : **json) {
    // Addresses as written: the streams are served under the addresses the playlists give.
    const auto reading = programme::readEntry(element);
    const programme::UsableEntry* entry = reading.listed();
    if (entry == nullptr) {
      continue;
    }
    const std::string& address = entry->url.text();
    // The first entry for an address decides, and an explicit length beats any listed one.
    if (lengths.count(address) != 0 || !listed.insert(address).second) {
      continue;
    }
    if (std::isfinite(entry->duration) && entry->duration > 0.0) {
      lengths.emplace(address, entry->duration);
    }
  }
}

// What the remote address does: serve `document` (the latest --serve-at file, else --playlist),
// fail at once, or accept and never answer.
struct RemoteState {
  std::optional<std::string> document;
  bool reachable = true;
  bool hung = false;
};

// The remote server's validator of a document: a refresh that holds it is answered 304, with no
// body, while the document stays the same.
std::string entityTag(const std::string& document) {
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : document) {
    hash = (hash ^ c) * 1099511628211ull;
  }
  return "\"" + std::to_string(hash) + "\"";
}

void serveRemote(sim::World& world, const std::string& remote,
                 const std::optional<std::string>& playlist, bool reachable) {
  if (!reachable) {
    world.network().serve(
        remote, {.error = platform::Error::make(platform::kUrlErrorDomain, -1009,
                                                "The Internet connection appears to be offline.")});
  } else if (playlist) {
    world.network().serve(remote, {.data = *playlist, .headers = {{"ETag", entityTag(*playlist)}}});
  } else {
    // What an unknown host answers without a --playlist.
    world.network().serve(remote,
                          {.error = platform::Error::make(
                               platform::kUrlErrorDomain, -1003,
                               "A server with the specified hostname could not be found.")});
  }
}

int run(const Options& options, std::ostream& out) {
  std::optional<std::string> playlist;
  if (options.playlistPath) {
    playlist = simulate::readFile("--playlist", *options.playlistPath);
  }
  std::optional<std::string> packaged;
  if (options.packagedPath) {
    packaged = simulate::readFile("--packaged", *options.packagedPath);
  } else if (!options.noPackaged) {
    packaged = playlist.value_or("[]");
  }

  sim::World world(sim::WorldOptions{options.start});
  const std::string remote = options.settings.playlistUrl;
  world.bundle().setRemotePlaylistAddress(remote);
  world.bundle().setPlaylistRefreshInterval(options.settings.refreshInterval);
  world.bundle().setScreenIdentity(options.screenId);
  world.bundle().setFrameSync(options.settings.sync != "second");
  world.network().setTimeout(options.settings.fetchTimeout);
  if (options.stateDir) {
    world.useStateFolder(*options.stateDir);
  }
  for (unsigned long i = 0; i < options.remoteFails; ++i) {
    world.network().serveOnce(remote,
                              {.error = platform::Error::make(platform::kUrlErrorDomain, -1001,
                                                              "The request timed out.")});
  }
  if (playlist) {
    world.network().serve(remote, {.data = *playlist, .headers = {{"ETag", entityTag(*playlist)}}});
  }
  if (packaged) {
    world.network().writeFile(kPackagedPath, *packaged);
    world.bundle().setResource(kPackagedName, kPackagedType, std::string(kPackagedPath));
  }

  // Read up front, so that a file that cannot be read stops the run before it starts.
  std::vector<std::pair<double, std::string>> serveAt;
  for (const auto& serve : options.serveAt) {
    serveAt.emplace_back(serve.at, simulate::readFile("--serve-at", serve.path));
  }
  std::stable_sort(serveAt.begin(), serveAt.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });

  std::map<std::string, double> lengths = options.mediaLengths;
  std::set<std::string> listed;
  if (playlist) {
    takeListedLengths(*playlist, lengths, listed);
  }
  if (packaged) {
    takeListedLengths(*packaged, lengths, listed);
  }
  for (const auto& [at, document] : serveAt) {
    takeListedLengths(document, lengths, listed);
  }
  for (const auto& [url, seconds] : lengths) {
    world.media().setLength(url, seconds);
  }
  for (const auto& url : options.broken) {
    world.media().setBroken(url);
  }
  world.media().setMovesOnBeforeAnnouncing(options.movesOnFirst);
  for (const auto& [url, stall] : options.stalls) {
    world.media().setStall(url, stall.at, stall.forSeconds);
  }
  for (const auto& [url, gone] : options.gone) {
    world.media().setGone(url, options.start + gone.at, options.start + gone.at + gone.forSeconds);
  }
  for (const auto& [url, pace] : options.paces) {
    world.media().setPace(url, pace);
  }

  // Records are printed as they are written and not kept, so a long run needs no more memory
  // than a short one.
  simulate::TracePrinter printer(out, options.trace);
  world.log().setSink(
      [&printer](double time, std::string_view text) { printer.record(time, text); });
  world.trace().setSink(
      [&printer](double time, const std::string& line) { printer.platformEvent(time, line); });
  world.trace().setViewTreeHook([&printer, &world] {
    printer.viewTreeMaybeChanged(world.scheduler().now(), world.application().rootViewController());
  });

  RemoteState remoteState{playlist};
  const auto applyRemote = [&] {
    serveRemote(world, remote, remoteState.document, remoteState.reachable);
  };
  // The files served from a time on, up to `upTo` seconds after launch, each at its time.
  size_t nextServe = 0;
  const auto serveUpTo = [&](double upTo) {
    for (; nextServe < serveAt.size() && serveAt[nextServe].first <= upTo; ++nextServe) {
      world.scheduler().advanceTo(options.start + serveAt[nextServe].first);
      remoteState.document = serveAt[nextServe].second;
      applyRemote();
      world.scheduler().runUntilIdle();
    }
  };
  if (!serveAt.empty() && serveAt.front().first <= 0.0) {
    serveUpTo(0.0);
  }

  const bool developerMode = options.settings.developerMode;
  const double inactivityPause = options.settings.inactivityPause;
  world.launch(classRegistry(), kDelegateClassName, mainInterface(),
               [developerMode, inactivityPause](platform::ViewController& controller) {
                 if (developerMode) {
                   enableDeveloperMode(controller);
                 }
                 setInactivityPause(controller, inactivityPause);
               });
  world.scheduler().runUntilIdle();

  simulate::EventTarget target{world.application(),
                               [&](bool reachable) {
                                 remoteState.reachable = reachable;
                                 applyRemote();
                                 if (remoteState.hung) {
                                   // Requests left hanging get the answer of the moment.
                                   remoteState.hung = false;
                                   world.network().release(remote);
                                 }
                               },
                               [&] {
                                 remoteState.hung = true;
                                 world.network().hold(remote);
                               }};
  std::vector<simulate::Event> events = options.events;
  std::stable_sort(events.begin(), events.end(),
                   [](const auto& a, const auto& b) { return a.at < b.at; });
  for (const auto& event : events) {
    if (event.at > options.duration) {
      break;
    }
    serveUpTo(event.at);
    world.scheduler().advanceTo(options.start + event.at);
    event.kind->perform(target, event);
    world.trace().viewTreeMaybeChanged();
    world.scheduler().runUntilIdle();
  }
  serveUpTo(options.duration);
  world.scheduler().advanceTo(options.start + options.duration);
  // The application is torn down with the World; nothing it does then belongs to the run.
  world.trace().clear();

  world.log().setSink(nullptr);
  out.flush();
  return 0;
}

}  // namespace

int runSimulateCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  try {
    const Options options = simulate::parseOptions(args, SettingsEnvironment::ofThisProcess());
    if (options.help) {
      out << options.helpText;
      return 0;
    }
    return run(options, out);
  } catch (const OptionError& error) {
    err << "vorn simulate: " << error.what() << '\n';
    return 2;
  } catch (const std::exception& error) {
    err << "vorn simulate: " << error.what() << '\n';
    return 1;
  }
}

}  // namespace vorn::app
