#pragma once
// The collecting half of a request/response exchange, shared by the channel's and the
// provider's Query: after the request went out, poll every 1 ms, append each piece that
// arrived, and end when the answer has been silent too long, the whole exchange took too
// long, or the caller says the answer is complete.

#include <cstdint>
#include <string>

#include "ci/uThreadUtils.h"
#include "ci/uTimeout.h"

namespace uQueryExchange {

struct TLimits {
  std::int32_t FirstTimeout;  // for the first piece, on top of the transmission allowance
  std::int32_t NextTimeout;   // the longest silence after a piece
  std::int32_t TotalTimeout;  // for everything, on top of the transmission allowance
  double TimeFactor;
};

// inputCount() → bytes waiting; read() → them; done(answer) → true ends the exchange.
// The timers start now, so call it right after the write.
template <class TInputCount, class TRead, class TDone>
void CollectAnswer(std::size_t requestLength, const TLimits& limits, TInputCount inputCount,
                   TRead read, TDone done, std::string& answer) {
  const std::int64_t allowance = uTimeout::TransmissionAllowance(requestLength, limits.TimeFactor);
  uTimeout::TTimeout piece, total;
  piece.SetTimeout(uTimeout::ClampLimit(std::int64_t{limits.FirstTimeout} + allowance));
  total.SetTimeout(uTimeout::ClampLimit(std::int64_t{limits.TotalTimeout} + allowance));
  const std::uint32_t gap = uTimeout::ScaledLimit(limits.NextTimeout * limits.TimeFactor);
  for (;;) {
    uThreadUtils::Sleep(1);
    if (inputCount() != 0) {
      answer += read();
      piece.SetTimeout(gap);
    }
    if (piece.IsExpired() || total.IsExpired()) break;
    if (done(answer)) break;
  }
}

}  // namespace uQueryExchange
