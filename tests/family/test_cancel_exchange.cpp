// RV270Api_CommunicationCancel, the exchange that gets through while another call's wait
// is being broken off: on either link its request goes out as the ordinary exchange's
// would, its answer comes back, and arguments it cannot use are refused before sending.
#include <gtest/gtest.h>

#include <vector>

#include "QornRV270API.h"
#include "support/outcome_rows.h"

namespace {

using namespace rv270test;

class CancelExchangeTest : public SimLinkTest {};
RV270_INSTANTIATE_LINKS(CancelExchangeTest);

TEST_P(CancelExchangeTest, ExchangesLikeTheOrdinaryExchange) {
  unsigned char request[] = {0x50, 0x01};
  std::vector<unsigned char> response(4096, 0xEE);
  int length = -1;
  ASSERT_EQ(RV270Api_CommunicationCancel(Port(), 0, request, response.data(), 2, &length, 2000), 0);
  EXPECT_EQ(Hex(Bytes(response.begin(), response.begin() + length)), Hex(B({0x00, 0x00})));
  const auto requests = sim.RequestPayloads(LinkUnderTest());
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(Hex(requests[0]), Hex(B({0x50, 0x01})));
  EXPECT_TRUE(sim.WaitForNoOpenLinks(2000));

  // Arguments it cannot use: nothing is sent.
  EXPECT_EQ(RV270Api_CommunicationCancel(Port(), 0, request, nullptr, 2, &length, 100), -18);
  EXPECT_EQ(RV270Api_CommunicationCancel(Port(), 0, request, response.data(), 2, nullptr, 100), -18);
  EXPECT_EQ(RV270Api_CommunicationCancel(Port(), 0, nullptr, response.data(), 2, &length, 100), -18);
  EXPECT_EQ(RV270Api_CommunicationCancel(Port(), 0, request, response.data(), -1, &length, 100), -18);
  EXPECT_EQ(sim.RequestPayloads(LinkUnderTest()).size(), 1u);
}

}  // namespace
