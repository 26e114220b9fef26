#include "channel/vorn_view_controller.h"

namespace vorn {

VornViewController::VornViewController(platform::Platform& platform,
                                       std::optional<std::string> nibName,
                                       const platform::Bundle* nibBundle)
    : ViewController(platform) {
  // There is no interface file to read: the nib name and bundle only select the base class's
  // loading, which makes the root view the same way either way.
  (void)nibName;
  (void)nibBundle;
  setStartValues();
}

VornViewController::VornViewController(platform::Platform& platform, const platform::Coder& coder)
    : ViewController(platform) {
  (void)coder;
  setStartValues();
}

std::shared_ptr<VornViewController> VornViewController::initWithCoder(
    platform::Platform& platform, const platform::Coder& coder) {
  if (!coder.decodable) {
    return nullptr;
  }
  return std::shared_ptr<VornViewController>(new VornViewController(platform, coder));
}

std::shared_ptr<VorniOSViewController> VorniOSViewController::initWithCoder(
    platform::Platform& platform, const platform::Coder& coder) {
  if (!coder.decodable) {
    return nullptr;
  }
  return std::shared_ptr<VorniOSViewController>(new VorniOSViewController(platform, coder));
}

void VornViewController::setStartValues() {
  infoLabel_.reset();
  infoLabelView_.reset();
  activityIndicatorView_.reset();
  playlist_.reset();
  queuePlayer_.reset();
  playerLayer_.reset();
  isPaused_ = false;
  lastPlayerItem_.reset();
  developerMode_ = false;
  playlistFileLocal_ = platform().bundle().pathForResource("vorn-vimeo-playlist", "json");
  playlistUrlRemote_ = platform::Url::parse(platform().bundle().remotePlaylistAddress());
  playlistUrlLocal_.reset();
  playlistUrl_.reset();
  fetchPlaylistRetries_ = kFetchPlaylistRetries;
  playlistSource_.forget();
  inactivityTimer_.reset();
  inactivitySeconds_ = 3600.0;
  initialLoadTimeObserver_.reset();
}

// Accessors: one lock for the object's state, held only while a value is copied in or out.

std::shared_ptr<platform::Label> VornViewController::infoLabel() const {
  std::lock_guard lock(mutex_);
  return infoLabel_;
}
void VornViewController::setInfoLabel(std::shared_ptr<platform::Label> value) {
  std::lock_guard lock(mutex_);
  infoLabel_ = std::move(value);
}
std::shared_ptr<platform::View> VornViewController::infoLabelView() const {
  std::lock_guard lock(mutex_);
  return infoLabelView_;
}
void VornViewController::setInfoLabelView(std::shared_ptr<platform::View> value) {
  std::lock_guard lock(mutex_);
  infoLabelView_ = std::move(value);
}
std::shared_ptr<platform::ActivityIndicatorView> VornViewController::activityIndicatorView() const {
  std::lock_guard lock(mutex_);
  return activityIndicatorView_;
}
void VornViewController::setActivityIndicatorView(
    std::shared_ptr<platform::ActivityIndicatorView> value) {
  std::lock_guard lock(mutex_);
  activityIndicatorView_ = std::move(value);
}
JsonPtr VornViewController::playlist() const {
  std::lock_guard lock(mutex_);
  return playlist_;
}
void VornViewController::setPlaylist(JsonPtr value) {
  std::lock_guard lock(mutex_);
  playlist_ = std::move(value);
}
std::shared_ptr<platform::QueuePlayer> VornViewController::queuePlayer() const {
  std::lock_guard lock(mutex_);
  return queuePlayer_;
}
void VornViewController::setQueuePlayer(std::shared_ptr<platform::QueuePlayer> value) {
  std::lock_guard lock(mutex_);
  queuePlayer_ = std::move(value);
}
std::shared_ptr<platform::PlayerLayer> VornViewController::playerLayer() const {
  std::lock_guard lock(mutex_);
  return playerLayer_;
}
void VornViewController::setPlayerLayer(std::shared_ptr<platform::PlayerLayer> value) {
  std::lock_guard lock(mutex_);
  playerLayer_ = std::move(value);
}
bool VornViewController::isPaused() const {
  std::lock_guard lock(mutex_);
  return isPaused_;
}
void VornViewController::setIsPaused(bool value) {
  std::lock_guard lock(mutex_);
  isPaused_ = value;
}
std::shared_ptr<VornAVPlayerItem> VornViewController::lastPlayerItem() const {
  std::lock_guard lock(mutex_);
  return lastPlayerItem_;
}
void VornViewController::setLastPlayerItem(std::shared_ptr<VornAVPlayerItem> value) {
  std::lock_guard lock(mutex_);
  lastPlayerItem_ = std::move(value);
}
bool VornViewController::DEVELOPER_MODE() const {
  std::lock_guard lock(mutex_);
  return developerMode_;
}
void VornViewController::setDEVELOPER_MODE(bool value) {
  std::lock_guard lock(mutex_);
  developerMode_ = value;
}
std::optional<platform::Url> VornViewController::PLAYLIST_NSURL_LOCAL() const {
  std::lock_guard lock(mutex_);
  return playlistUrlLocal_;
}
void VornViewController::setPLAYLIST_NSURL_LOCAL(std::optional<platform::Url> value) {
  std::lock_guard lock(mutex_);
  playlistUrlLocal_ = std::move(value);
}
std::optional<platform::Url> VornViewController::playlistNSURL() const {
  std::lock_guard lock(mutex_);
  return playlistUrl_;
}
void VornViewController::setPlaylistNSURL(std::optional<platform::Url> value) {
  std::lock_guard lock(mutex_);
  playlistUrl_ = std::move(value);
}
int64_t VornViewController::fetchPlaylistRetries() const {
  std::lock_guard lock(mutex_);
  return fetchPlaylistRetries_;
}
void VornViewController::setFetchPlaylistRetries(int64_t value) {
  std::lock_guard lock(mutex_);
  fetchPlaylistRetries_ = value;
}
std::shared_ptr<platform::Timer> VornViewController::inactivityTimer() const {
  std::lock_guard lock(mutex_);
  return inactivityTimer_;
}
void VornViewController::setInactivityTimer(std::shared_ptr<platform::Timer> value) {
  std::lock_guard lock(mutex_);
  inactivityTimer_ = std::move(value);
}
std::shared_ptr<platform::TimeObserverToken> VornViewController::initialLoadTimeObserver() const {
  std::lock_guard lock(mutex_);
  return initialLoadTimeObserver_;
}
void VornViewController::setInitialLoadTimeObserver(
    std::shared_ptr<platform::TimeObserverToken> value) {
  std::lock_guard lock(mutex_);
  initialLoadTimeObserver_ = std::move(value);
}

std::optional<platform::Url> VornViewController::playlistAddressOf(const JsonPtr& document) const {
  return playlistSource_.addressOf(document);
}

}  // namespace vorn
