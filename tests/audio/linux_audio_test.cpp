#ifdef TARVELLO_HAVE_PULSE

#include "platform/linux/linux_audio.h"

#include <gtest/gtest.h>

#include <fstream>

#include "audio/audio_bridge.h"
#include "audio/audio_install.h"
#include "audio/pulse_daemon.h"
#include "base/settings.h"
#include "base/settings_store.h"
#include "platform/linux/linux_audio_installer.h"
#include "support/log_capture.h"
#include "support/require.h"

namespace tarvello::test {
namespace {

std::string readText(const std::filesystem::path& p) {
    std::ifstream in(p);
    return {std::istreambuf_iterator<char>(in), {}};
}

size_t occurrences(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class LinuxAudioTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!PulseDaemon::available()) TARVELLO_SKIP_MISSING("pulseaudio (scripts/install-deps.sh)");
        ASSERT_TRUE(daemon.start()) << daemon.log();
        env = std::make_unique<ClientEnvironment>(daemon.clientEnv());
        Settings::useStore(std::make_shared<MemoryStore>());
        audio = makeAudio();
    }

    void TearDown() override {
        for (pid_t pid : tools) endChild(pid, SIGKILL, 2.0, false);
        audio.reset();
        daemon.stop();
        env.reset();
    }

    std::shared_ptr<LinuxAudio> makeAudio() {
        LinuxAudio::Options options;
        options.persist.configHome = daemon.config;
        options.persist.systemScript = daemon.systemScript;
        return std::make_shared<LinuxAudio>(options);
    }

    std::string uidOfDefault(AudioDefault which) {
        auto d = audio->defaultDevice(which);
        if (!d) return "none";
        return audio->deviceUID(*d).value_or("unreadable");
    }

    pid_t recordFrom(const std::string& source) {
        const pid_t pid = daemon.spawnTool(
            "parec", {"--device=" + source, "--raw", "--format=s16le", "--rate=48000", "--channels=1"},
            daemon.root / "rec.raw");
        tools.push_back(pid);
        return pid;
    }

    PulseDaemon daemon;
    std::unique_ptr<ClientEnvironment> env;
    std::shared_ptr<LinuxAudio> audio;
    std::vector<pid_t> tools;
    LogCapture logs;
};

TEST_F(LinuxAudioTest, InstallCreatesTheFourDevicesAndBringsThemBackAtTheNextStart) {
    EXPECT_FALSE(audioInstalled(*audio));
    ASSERT_TRUE(audioPluginsPresent(*audio));
    ASSERT_TRUE(installAudio(*audio)) << logs.lines().size() << daemon.log();
    EXPECT_TRUE(audioInstalled(*audio));
    for (const char* uid : {AudioDeviceUID::speakers, AudioDeviceUID::speakersTap, AudioDeviceUID::microphone,
                            AudioDeviceUID::microphoneFeed}) {
        const auto id = audio->deviceForUID(uid);
        ASSERT_TRUE(id) << uid;
        EXPECT_EQ(audio->deviceUID(*id), uid);
        EXPECT_TRUE(audio->setNominalSampleRate(*id, 48000.0)) << uid;
    }

    // The user's devices and ours, each in its direction; monitors are not listed.
    std::map<std::string, AudioDeviceEntry> listed;
    for (const auto& e : audio->devices()) listed[e.uid.value_or("?")] = e;
    EXPECT_EQ(listed.size(), 5u);
    EXPECT_EQ(listed[AudioDeviceUID::speakers].outputStreams, 1);
    EXPECT_EQ(listed[AudioDeviceUID::microphoneFeed].outputStreams, 1);
    EXPECT_EQ(listed[AudioDeviceUID::microphone].inputStreams, 1);
    EXPECT_EQ(listed["user_mic"].inputStreams, 1);
    EXPECT_EQ(listed["user_speakers"].outputStreams, 1);
    EXPECT_FALSE(listed.count(AudioDeviceUID::speakersTap));

    // A second install loads nothing twice and keeps one block in the user's script.
    ASSERT_TRUE(installAudio(*audio));
    EXPECT_EQ(audio->devices().size(), 5u);
    const auto script = readText(daemon.config / "pulse" / "default.pa");
    EXPECT_EQ(script.rfind(".include " + daemon.systemScript.string() + "\n", 0), 0u) << script;
    EXPECT_EQ(occurrences(script, "load-module module-null-sink"), 2u);
    EXPECT_EQ(occurrences(script, "load-module module-remap-source"), 1u);

    // A restarted server reads the user's script; the client reconnects by itself.
    daemon.stop();
    EXPECT_FALSE(audio->deviceForUID(AudioDeviceUID::speakers));
    ASSERT_TRUE(daemon.start(daemon.config / "pulse" / "default.pa")) << daemon.log();
    EXPECT_TRUE(audioInstalled(*audio));
    EXPECT_TRUE(audio->deviceForUID(AudioDeviceUID::speakersTap));
    EXPECT_TRUE(audio->deviceForUID(AudioDeviceUID::microphoneFeed));
    EXPECT_TRUE(audio->deviceForUID("user_speakers"));
}

TEST_F(LinuxAudioTest, DefaultsMapToTheDefaultSinkAndSource) {
    ASSERT_TRUE(installAudio(*audio));
    ASSERT_TRUE(audio->setDefaultDevice(AudioDefault::input, *audio->deviceForUID("user_mic")));
    EXPECT_EQ(uidOfDefault(AudioDefault::output), "user_speakers");
    EXPECT_EQ(uidOfDefault(AudioDefault::systemOutput), "user_speakers");
    EXPECT_EQ(uidOfDefault(AudioDefault::input), "user_mic");

    const auto speakers = *audio->deviceForUID(AudioDeviceUID::speakers);
    const auto microphone = *audio->deviceForUID(AudioDeviceUID::microphone);
    ASSERT_TRUE(audio->setDefaultDevice(AudioDefault::output, speakers));
    EXPECT_EQ(uidOfDefault(AudioDefault::systemOutput), AudioDeviceUID::speakers);
    ASSERT_TRUE(audio->setDefaultDevice(AudioDefault::input, microphone));
    EXPECT_EQ(uidOfDefault(AudioDefault::input), AudioDeviceUID::microphone);

    // A sink is never an input, a source never an output.
    EXPECT_FALSE(audio->setDefaultDevice(AudioDefault::input, speakers));
    EXPECT_FALSE(audio->setDefaultDevice(AudioDefault::output, microphone));
    EXPECT_FALSE(audio->deviceUID(0x7FFF'0000));
    EXPECT_FALSE(audio->setNominalSampleRate(*audio->deviceForUID("user_speakers"), 48000.0));
}

TEST_F(LinuxAudioTest, MicrophoneRunsWhileAnotherClientRecordsFromIt) {
    ASSERT_TRUE(installAudio(*audio));
    const auto microphone = *audio->deviceForUID(AudioDeviceUID::microphone);
    EXPECT_EQ(audio->runningSomewhere(microphone), false);

    // Our own feed into the companion sink does not count.
    auto feed = audio->makeOutputUnit(*audio->deviceForUID(AudioDeviceUID::microphoneFeed), {48000, 1, 240},
                                      [](std::span<float> out) {
                                          std::fill(out.begin(), out.end(), 0.0f);
                                          return 0;
                                      });
    ASSERT_TRUE(feed);
    ASSERT_TRUE(feed->start());
    EXPECT_EQ(audio->runningSomewhere(microphone), false);

    const pid_t recorder = recordFrom(PulseDeviceName::microphone);
    EXPECT_TRUE(eventually([&] { return audio->runningSomewhere(microphone) == true; }));
    endChild(recorder, SIGKILL, 2.0, false);
    EXPECT_TRUE(eventually([&] { return audio->runningSomewhere(microphone) == false; }));
    feed.reset();
}

TEST_F(LinuxAudioTest, UnitsNeedADeviceOfTheirDirection) {
    ASSERT_TRUE(installAudio(*audio));
    const auto speakers = *audio->deviceForUID(AudioDeviceUID::speakers);
    const auto tap = *audio->deviceForUID(AudioDeviceUID::speakersTap);
    auto never = [](AudioInputUnit&, uint32_t) { return 0; };
    auto silence = [](std::span<float> out) {
        std::fill(out.begin(), out.end(), 0.0f);
        return 0;
    };
    EXPECT_FALSE(audio->makeInputUnit(speakers, {48000, 2, 240}, never));
    EXPECT_FALSE(audio->makeOutputUnit(tap, {48000, 1, 240}, silence));
    EXPECT_FALSE(audio->makeInputUnit(0, {48000, 2, 240}, never));

    // The tap reads what is played into the speakers, in cycles no longer than asked for.
    std::atomic<uint64_t> frames{0};
    std::atomic<uint32_t> longest{0};
    std::atomic<int> badRenders{0};
    auto unit = audio->makeInputUnit(tap, {48000, 2, 240}, [&](AudioInputUnit& u, uint32_t n) {
        std::vector<float> buffer(size_t(n) * 2);
        if (u.render(buffer) != 0) badRenders++;
        frames += n;
        longest = std::max(longest.load(), n);
        return 0;
    });
    ASSERT_TRUE(unit);
    ASSERT_TRUE(unit->start());
    EXPECT_TRUE(eventually([&] { return frames.load() >= 4800; }));
    unit->stop();
    const auto after = frames.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(frames.load(), after);
    EXPECT_EQ(badRenders.load(), 0);
    EXPECT_LE(longest.load(), 4096u);
    std::vector<float> outside(480);
    EXPECT_NE(unit->render(outside), 0);
}

TEST(LinuxAudioNoServer, LookupsFailAndInstallSaysWhy) {
    char dir[] = "/tmp/tarvello-nopulse-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string base = dir;
    ClientEnvironment env({"PULSE_SERVER=unix:" + base + "/none", "HOME=" + base, "XDG_RUNTIME_DIR=" + base,
                           "PULSE_RUNTIME_PATH=" + base, "XDG_CONFIG_HOME=" + base});
    LogCapture logs;
    {
        LinuxAudio audio;
        EXPECT_FALSE(audio.deviceForUID(AudioDeviceUID::speakers));
        EXPECT_FALSE(audio.defaultDevice(AudioDefault::output));
        EXPECT_TRUE(audio.devices().empty());
        EXPECT_FALSE(audio.runningSomewhere(1));
        EXPECT_FALSE(installAudio(audio));
        AudioBridge::restoreDefaultDevices(audio);
    }
    EXPECT_EQ(logs.count("Audio install cancelled: no sound server: "), 1);
    EXPECT_EQ(logs.lines().size(), 1u);
    // No server was started on the client's behalf.
    EXPECT_FALSE(std::filesystem::exists(base + "/none"));
    std::filesystem::remove_all(base);
}

// ---------------------------------------------------------------------------------
// The persistent configuration, without a server

TEST(AudioPersistence, BlockIsAppendedOnceAndReplacedInPlace) {
    const std::string user = "load-module module-foo\n# mine\n";
    const auto once = withTarvelloBlock(user, "/etc/pulse/default.pa");
    EXPECT_EQ(once.rfind(user, 0), 0u);
    EXPECT_EQ(once.find(".include"), std::string::npos);
    const auto twice = withTarvelloBlock(once + "load-module module-bar\n", "/etc/pulse/default.pa");
    EXPECT_EQ(occurrences(twice, "### Tarvello virtual devices"), 1u);
    EXPECT_EQ(occurrences(twice, "load-module module-remap-source"), 1u);
    EXPECT_NE(twice.find("load-module module-bar\n"), std::string::npos);
    EXPECT_EQ(twice.substr(0, user.size()), user);

    const auto fresh = withTarvelloBlock(std::nullopt, "/x/system.pa");
    EXPECT_EQ(fresh.rfind(".include /x/system.pa\n", 0), 0u);
    EXPECT_NE(fresh.find(".nofail\nload-module module-null-sink sink_name=tarvello_speakers "),
              std::string::npos);
}

TEST(AudioPersistence, PipeWireFragmentQuotesTheArguments) {
    const auto text = pipeWirePulseFragment();
    EXPECT_NE(text.find("pulse.cmd = ["), std::string::npos);
    EXPECT_EQ(occurrences(text, "{ cmd = \"load-module\" args = \"module-"), 3u);
    EXPECT_NE(text.find("device.description=\\\"Tarvello Speakers\\\""), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST(AudioPersistence, WritesWhereEachServerLooksAndRefusesWithoutASystemScript) {
    char dir[] = "/tmp/tarvello-persist-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::filesystem::path base = dir;
    AudioPersistOptions options;
    options.configHome = base / "config";
    options.systemScript = base / "missing.pa";
    EXPECT_TRUE(persistAudioDevices(false, options).value_or("").find("missing.pa") != std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(audioPersistPath(false, options)));

    std::ofstream(base / "system.pa") << "\n";
    options.systemScript = base / "system.pa";
    EXPECT_FALSE(persistAudioDevices(false, options));
    EXPECT_EQ(audioPersistPath(false, options), base / "config" / "pulse" / "default.pa");
    EXPECT_NE(readText(audioPersistPath(false, options)).find("tarvello_microphone"), std::string::npos);
    EXPECT_FALSE(persistAudioDevices(true, options));
    EXPECT_EQ(audioPersistPath(true, options),
              base / "config" / "pipewire" / "pipewire-pulse.conf.d" / "tarvello.conf");
    EXPECT_EQ(readText(audioPersistPath(true, options)), pipeWirePulseFragment());
    // Nothing half-written is left beside them.
    for (const auto& e : std::filesystem::recursive_directory_iterator(base))
        EXPECT_EQ(e.path().string().find(".tmp-"), std::string::npos) << e.path();

    // A file where the directory should be: the reason comes back instead of a crash.
    options.configHome = base / "system.pa";
    EXPECT_TRUE(persistAudioDevices(true, options));
    std::filesystem::remove_all(base);
}

TEST(AudioPersistence, NamesMapBothWays) {
    for (const char* uid : {AudioDeviceUID::speakers, AudioDeviceUID::speakersTap, AudioDeviceUID::microphone,
                            AudioDeviceUID::microphoneFeed}) {
        const auto name = pulseNameForUID(uid);
        EXPECT_EQ(name.find(' '), std::string::npos) << uid;
        EXPECT_EQ(uidForPulseName(name), uid);
    }
    EXPECT_EQ(pulseNameForUID("alsa_output.pci-0000_00_1f.3.analog-stereo"),
              "alsa_output.pci-0000_00_1f.3.analog-stereo");
    EXPECT_EQ(std::string(PulseDeviceName::speakersTap), std::string(PulseDeviceName::speakers) + ".monitor");
}

}  // namespace
}  // namespace tarvello::test

#endif  // TARVELLO_HAVE_PULSE
