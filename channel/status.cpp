#include <cmath>
#include <cstdio>
#include <limits>

#include "channel/vorn_view_controller.h"
#include "interaction/overlay.h"
#include "programme/cycle.h"
#include "vorn/build_config.h"

namespace vorn {

namespace {

// FNV-1a over the document's structure, so two texts of one document (spacing, key quoting) get
// one hash, and any change of a value another.
void hashInto(uint64_t& hash, const Json& value) {
  const auto mix = [&](std::string_view bytes) {
    for (const char c : bytes) {
      hash ^= static_cast<unsigned char>(c);
      hash *= 1099511628211ULL;
    }
  };
  const char type = static_cast<char>('0' + static_cast<int>(value.type()));
  mix(std::string_view(&type, 1));
  switch (value.type()) {
    case Json::Type::null:
      break;
    case Json::Type::boolean:
      mix(value.get<bool>() ? "t" : "f");
      break;
    case Json::Type::signedInteger:
      mix(std::to_string(value.get<int64_t>()));
      break;
    case Json::Type::unsignedInteger:
      mix(std::to_string(value.get<uint64_t>()));
      break;
    case Json::Type::floating: {
      char text[40];
      std::snprintf(text, sizeof text, "%.17g", value.get<double>());
      mix(text);
      break;
    }
    case Json::Type::string:
      mix(value.get<std::string_view>());
      mix(std::string_view("\0", 1));
      break;
    case Json::Type::array:
    case Json::Type::object:
      for (size_t i = 0; i < value.size(); ++i) {
        if (value.isObject()) {
          mix(value.key(i));
          mix(std::string_view("\0", 1));
        }
        hashInto(hash, value.begin()[i]);
      }
      mix("]");
      break;
  }
}

std::string documentHash(const Json& document) {
  uint64_t hash = 14695981039346656037ULL;
  hashInto(hash, document);
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string signedSeconds(double seconds) {
  char text[32];
  // Rounded first, so that a hair below zero reads +0.00 and not -0.00.
  const double hundredths = std::round(seconds * 100.0) / 100.0;
  std::snprintf(text, sizeof text, "%+.2f s", hundredths == 0.0 ? 0.0 : hundredths);
  return text;
}

}  // namespace

void VornViewController::notePlaylistSource(const JsonPtr& document, const std::string& source,
                                            const std::optional<platform::Url>& address) {
  const double now = clockNow();
  std::lock_guard lock(status_.mutex);
  auto& sources = status_.sources;
  for (size_t i = std::size(sources) - 1; i > 0; --i) {
    sources[i] = sources[i - 1];
  }
  sources[0] = {document, source, address ? address->description() : std::string(), now};
}

void VornViewController::noteFetch(bool ok, const std::string& error, bool refresh) {
  const double now = clockNow();
  {
    std::lock_guard lock(status_.mutex);
    status_.lastFetch = platform::ChannelStatus::Fetch{now, ok, ok ? std::string() : error};
    if (ok) {
      status_.lastFetchSuccessAt = now;
    } else {
      ++status_.fetchFailures;
    }
  }
  platform().mainQueue().post([self = self(), ok, error, refresh] {
    if (!ok) {
      self->platform().statusOutlet().event(
          platform::EventPriority::warning,
          std::string(refresh ? "playlist refresh failed: " : "playlist fetch failed: ") + error);
    }
    self->noteStatus();
  });
}

void VornViewController::noteRefreshScheduled(double interval) {
  const double at = clockNow() + interval;
  std::lock_guard lock(status_.mutex);
  status_.nextRefresh = at;
}

void VornViewController::noteSlateReason(const std::string& reason) {
  status_.slateReason = reason;
}

void VornViewController::noteInactivityPause(bool paused) {
  status_.inactivityPause = paused;
}

void VornViewController::noteClockSync() {
  const auto sync = platform().statusOutlet().clockSynchronized();
  if (sync == platform::ClockSync::no && status_.clockSync != platform::ClockSync::no) {
    platform().statusOutlet().event(platform::EventPriority::warning,
                                    "clock not synchronised: the programme may be off the hour");
  }
  status_.clockSync = sync;
}

void VornViewController::noteStatus() {
  platform().statusOutlet().publish(updateStatus());
}

platform::ChannelStatus VornViewController::updateStatus() {
  VORN_CHECK_SEQUENCE(mainSequence_, "slate_");
  auto& outlet = platform().statusOutlet();
  const double now = clockNow();
  if (!status_.begun) {
    status_.begun = true;
    status_.startedAt = now;
    noteClockSync();
    std::weak_ptr<VornViewController> weak = self();
    outlet.setSampler([weak] {
      const auto controller = weak.lock();
      return controller ? controller->updateStatus() : platform::ChannelStatus{};
    });
  }
  platform::ChannelStatus status = status_.last;
  status.startedAt = status_.startedAt;
  status.updatedAt = now;
  status.version = build::kVersion;
  status.clockSynchronized = status_.clockSync;
  status.slateReason.clear();
  status.slateEnd.reset();
  status.item.reset();
  status.clockOffset.reset();

  // The playlist on screen, and where it came from.
  const JsonPtr document = playlist();
  {
    std::lock_guard lock(status_.mutex);
    status.lastFetch = status_.lastFetch;
    status.lastFetchSuccessAt = status_.lastFetchSuccessAt;
    status.fetchFailuresTotal = status_.fetchFailures;
    status.nextRefresh = status_.nextRefresh;
    if (document && status_.documentOnScreen.lock() != document) {
      for (const auto& source : status_.sources) {
        if (source.document.lock() == document) {
          status.playlist = {source.source, source.url, source.notedAt, documentHash(*document)};
          break;
        }
      }
    }
  }
  const bool newDocument = document && status_.documentOnScreen.lock() != document;
  if (newDocument) {
    const bool first = status_.last.playlist.source.empty();
    status_.documentOnScreen = document;
    if (status.playlist.source == "saved" || status.playlist.source == "packaged") {
      outlet.event(platform::EventPriority::warning, "fallback copy in use: the " +
                                                         status.playlist.source + " playlist " +
                                                         status.playlist.url);
    } else if (!first) {
      outlet.event(platform::EventPriority::info, "playlist applied: " + status.playlist.url +
                                                      " (hash " + status.playlist.hash + ")");
    }
  }

  // What is on screen.
  const auto player = queuePlayer();
  const auto onScreen = itemOnScreen();
  bool holdItem = false;
  if (platform().application().state() == platform::ApplicationState::background) {
    status.state = platform::ChannelState::background;
  } else if (slate_ && timeline_) {
    status.state = platform::ChannelState::slate;
    status.slateReason = status_.slateReason;
    status.slateEnd = timeline_->clockAt(timeline_->slotEnd(slate_->slot), now);
  } else if (!player) {
    // A document taken but not loaded yet is a start; one with nothing to play is no programme.
    status.state = document && !playlistSource_.playable(document)
                       ? platform::ChannelState::noProgramme
                       : platform::ChannelState::starting;
  } else if ((!player->currentItem() || firstFramePending_) &&
             status_.last.state == platform::ChannelState::playing) {
    // Between two queues of a playing channel (the last item ended, the next queue not on screen
    // yet): it still plays, and the item last shown stands until the next one shows.
    status.state = platform::ChannelState::playing;
    holdItem = true;
  } else if (!player->currentItem()) {
    status.state =
        firstFramePending_ ? platform::ChannelState::starting : platform::ChannelState::noProgramme;
  } else if (firstFramePending_) {
    status.state = platform::ChannelState::starting;
  } else if (player->rate() == 0.0f) {
    status.state = status_.inactivityPause ? platform::ChannelState::inactivePaused
                                           : platform::ChannelState::paused;
  } else {
    status.state = platform::ChannelState::playing;
  }

  if (timeline_ && timeline_->loadedAt() != status_.timelineLoadedAt) {
    // A fresh load: its origin is the clock's, before any pause moves the timeline.
    status_.timelineLoadedAt = timeline_->loadedAt();
    status_.clockOrigin = timeline_->origin();
  }
  const auto item = holdItem ? nullptr : std::dynamic_pointer_cast<VornAVPlayerItem>(onScreen);
  if (holdItem) {
    status.item = status_.last.item;
  }
  const auto slot = item && timeline_ ? slotOf(item.get()) : std::nullopt;
  if (item) {
    platform::ChannelStatus::Item shown;
    shown.url = item->asset()->url().description();
    shown.length = item->listed_duration();
    const JsonPtr entry = item->playlist_info();
    shown.description = overlay::descriptionOf(entry.get());
    if (const JsonPtr items = entry ? document : nullptr; items && items->isArray()) {
      shown.count = static_cast<int64_t>(items->size());
      if (entry.get() >= items->begin() && entry.get() < items->end()) {
        shown.index = entry.get() - items->begin();
      }
    }
    // The clock's own position in the item's slot; the picture's when a player shows it.
    const double clockPosition = slot ? now - status_.clockOrigin - timeline_->slotStart(*slot)
                                      : std::numeric_limits<double>::quiet_NaN();
    const auto picture = status.state != platform::ChannelState::slate && player
                             ? player->currentPosition()
                             : std::nullopt;
    shown.position = picture ? *picture : (std::isfinite(clockPosition) ? clockPosition : 0.0);
    if (picture && std::isfinite(clockPosition) &&
        status.state != platform::ChannelState::starting) {
      status.clockOffset = *picture - clockPosition;
    }
    status.item = std::move(shown);
  }

  // Events for what changed.
  const auto previous = status_.last.state;
  if (status.state == platform::ChannelState::slate && previous != platform::ChannelState::slate) {
    ++status.slatesTotal;
    outlet.event(platform::EventPriority::warning,
                 "slate shown: " + status.slateReason + " until " +
                     overlay::localTimeOfDay(status.slateEnd.value_or(now)));
  } else if (status.state != platform::ChannelState::slate &&
             previous == platform::ChannelState::slate) {
    outlet.event(platform::EventPriority::info, "slate lifted: " + status_.last.slateReason);
  }
  const bool newItem = status.state == platform::ChannelState::playing && item &&
                       status_.startedItem.lock() != onScreen;
  if (newItem && !status.clockOffset && status_.settlingItem.lock() != onScreen) {
    // A player tells where its new item stands only from the item's first frame: the event waits
    // for it, a moment at most.
    status_.settlingItem = onScreen;
    status_.settlingSince = now;
  }
  if (newItem && !status.clockOffset && now - status_.settlingSince < kItemSettleSeconds) {
    status.settling = true;
  } else if (newItem) {
    status_.startedItem = onScreen;
    ++status.itemsStartedTotal;
    std::string text =
        "item started: " +
        (status.item->description.empty() ? status.item->url : status.item->description) + " (" +
        std::to_string(status.item->index + 1) + "/" + std::to_string(status.item->count) + ")";
    if (status.clockOffset) {
      text += ", clock offset " + signedSeconds(*status.clockOffset);
    }
    outlet.event(platform::EventPriority::info, text);
  }
  status_.last = status;
  return status;
}

}  // namespace vorn
