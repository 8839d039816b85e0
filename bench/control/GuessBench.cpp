// Password guessing against the control port from one address on loopback: wrong passwords
// sent one after another for a fixed time, with the guess delay as shipped and without it (the
// baseline, as before the delay existed). Prints guesses answered per second for each.
#include "base/Logger.h"
#include "base/testing/PortBlock.h"
#include "client/ControlClient.h"
#include "comm/ControlServer.h"
#include "comm/testing/RecordingSessionEnvironment.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace vl;
using Clock = std::chrono::steady_clock;

namespace {

double guessesPerSecond(bool delayed, double seconds) {
    vl::testing::RecordingSessionEnvironment fakes;
    vl::testing::PortBlock ports(10);
    auto server = ControlServer::make(static_cast<std::uint16_t>(ports.first()),
                                      DispatchQueue::dedicated("ControlRequestQueue"),
                                      "ControlServer", fakes.environment());
    if (!delayed) server->setGuessPolicy({.firstDelay = std::chrono::milliseconds(0)});
    server->start();
    std::string error;
    auto client = ControlClient::open("127.0.0.1", static_cast<std::uint16_t>(ports.first()),
                                      ClientIdentity{}, &error);
    if (!client) {
        std::fprintf(stderr, "cannot connect: %s\n", error.c_str());
        std::exit(1);
    }
    int answered = 0;
    const auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    while (elapsed() < seconds) {
        auto answer = client->connect("guess-" + std::to_string(answered),
                                      std::chrono::milliseconds(int((seconds + 1) * 1000)));
        if (!answer) break;
        if (answer->result == InteractionType::ret400) ++answered;
    }
    const double rate = answered / elapsed();
    client->disconnect();
    server->stop();
    return rate;
}

}  // namespace

int main(int argc, char** argv) {
    Logger::shared().setWritesToStderr(false);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
    const double before = guessesPerSecond(false, seconds);
    const double after = guessesPerSecond(true, seconds);
    std::printf("wrong passwords answered per second over %.0f s from one address:\n", seconds);
    std::printf("  without the guess delay (before): %10.1f\n", before);
    std::printf("  with the guess delay (now):       %10.3f\n", after);
    // A generated password: 8 characters of 57 (about 1.1e14); half of them on average.
    const double space = 1.1e14 / 2;
    std::printf("  years to find a generated password at that rate: before %.0f, now %.3g\n",
                space / before / 3.15e7, space / after / 3.15e7);
    return 0;
}
