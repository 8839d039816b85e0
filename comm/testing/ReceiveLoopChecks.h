// comm/testing: checks every server's receive loop must pass.
#pragma once

#include "platform/network/fake/FakeConnection.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace vl::testing {

// A peer that ends (FIN) or resets its stream and keeps its connection: its stream completes
// every receive at once from then on, so a loop that armed again would turn for ever.
template <typename Server>
void expectNoReceiveAfterTheStreamEnds(Server& server) {
    for (auto ending : {std::optional<NetworkError>{},
                        std::optional<NetworkError>{{NetworkError::Code::streamReset, ""}}}) {
        auto connection = std::make_shared<FakeConnection>();
        server.handleConnection(connection);
        connection->setState(ConnectionState::ready);
        const int armed = connection->receivesArmed;
        connection->endReading(ending);
        DispatchQueue* queue = connection->startedOn.load();
        ASSERT_NE(queue, nullptr);
        for (int turn = 0; turn < 3; ++turn) queue->sync([] {});
        EXPECT_EQ(connection->receivesArmed, armed) << (ending ? "reset" : "finished");
        connection->cancel();
    }
}

}  // namespace vl::testing
