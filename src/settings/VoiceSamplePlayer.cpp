#include "settings/VoiceSamplePlayer.h"

#include "platform/Log.h"

namespace {

class SilentVoiceSamplePlayer : public VoiceSamplePlayer {
public:
    bool play(const QByteArray& audio) override {
        qCInfo(lcSettings) << "No audio player connected: voice sample of" << audio.size()
                           << "bytes not played";
        return false;
    }
    void stop() override {}
};

std::shared_ptr<VoiceSamplePlayer>& sharedSlot() {
    static std::shared_ptr<VoiceSamplePlayer> player = std::make_shared<SilentVoiceSamplePlayer>();
    return player;
}

} // namespace

VoiceSamplePlayer& VoiceSamplePlayer::shared() {
    return *sharedSlot();
}

void VoiceSamplePlayer::setShared(std::shared_ptr<VoiceSamplePlayer> player) {
    sharedSlot() = player ? std::move(player) : std::make_shared<SilentVoiceSamplePlayer>();
}
