#include "channel/controller_holder.h"
#include "channel/vorn_view_controller.h"
#include "log/render.h"

namespace vorn {

void VornViewController::viewDidLoad() {
  platform::ViewController::viewDidLoad();

  if (!PLAYLIST_FILE_LOCAL()) {
    error("PLAYLIST_FILE_LOCAL not 1: " + log::renderOptional(PLAYLIST_FILE_LOCAL()));
  } else {
    setPLAYLIST_NSURL_LOCAL(platform::Url::fileUrlWithPath(*PLAYLIST_FILE_LOCAL()));
  }
  setPlaylistNSURL(PLAYLIST_NSURL_REMOTE());
  if (DEVELOPER_MODE()) {
    setPlaylistNSURL(PLAYLIST_NSURL_LOCAL());
    error("USING " + log::renderOptional(PLAYLIST_NSURL_LOCAL()) + " !!!!!!!!!!!!!!");
  }

  view()->setBackgroundColor(platform::Color::black());

  if (auto delegate =
          std::dynamic_pointer_cast<ControllerHolder>(platform().application().delegate())) {
    delegate->setVornViewController(self());
  }

  auto& audio = platform().audioSession();
  auto failure = audio.setCategoryPlayback();
  if (!failure) {
    failure = audio.setActive(true);
  }
  if (failure) {
    error("loadVideos: Couldn't set AVAudioSession: " + failure->description());
  }

  addGestureRecognizers();
}

void VornViewController::viewWillTransitionToSize(const platform::Size& size,
                                                  platform::TransitionCoordinator& coordinator) {
  platform::ViewController::viewWillTransitionToSize(size, coordinator);
  // The layer takes the view's frame in one step once the change is done. Before the first queue
  // there is no layer: the queue load sizes it when it makes it.
  coordinator.animateAlongsideTransition(nullptr, [self = self()] {
    if (const auto layer = self->playerLayer()) {
      layer->setFrame(self->view()->frame());
    }
    // The slate covers the whole view, whatever its size.
    VORN_CHECK_SEQUENCE(self->mainSequence_, "slate_");
    if (self->slate_) {
      self->presentSlate(self->slate_->slot);
    }
  });
}

void VornViewController::didReceiveMemoryWarning() {
  platform::ViewController::didReceiveMemoryWarning();
}

}  // namespace vorn
