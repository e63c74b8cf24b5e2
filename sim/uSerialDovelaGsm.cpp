#include "sim/uSerialDovelaGsm.h"

#include <algorithm>

#include "ci/uThreadUtils.h"

namespace uSerialDovelaGsm {

TSerialDovelaGsm::TSerialDovelaGsm(TSend send,
                                   std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model)
    : send_(std::move(send)),
      model_(model ? std::move(model) : std::make_shared<uDovelaGsmModel::TDovelaGsmModel>()),
      worker_([this] { Run(); }) {}

TSerialDovelaGsm::~TSerialDovelaGsm() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

int TSerialDovelaGsm::Requests() const {
  std::lock_guard lock(mutex_);
  return requestCount_;
}

void TSerialDovelaGsm::Receive(const std::string& bytes) {
  if (bytes.empty()) return;
  {
    std::lock_guard lock(mutex_);
    // Past the unit's buffer the rest is not kept; the model answers that it is too long.
    const std::size_t room = uDovelaGsmModel::kMaxRequestBytes + 1 -
                             std::min(partial_.size(), uDovelaGsmModel::kMaxRequestBytes + 1);
    partial_.append(bytes, 0, std::min(room, bytes.size()));
    receiving_ = true;
    idleEnd_ = TClock::now() + std::chrono::milliseconds(kIdleEndMs);
  }
  wake_.notify_all();
}

void TSerialDovelaGsm::EndRequest() {
  requests_.push_back({std::move(partial_), idleEnd_});
  partial_.clear();
  receiving_ = false;
  ++requestCount_;
}

void TSerialDovelaGsm::Run() {
  uThreadUtils::SetCurrentThreadName("Dovela GSM serial");
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (receiving_ && TClock::now() >= idleEnd_) EndRequest();
    if (requests_.empty()) {
      if (receiving_)
        wake_.wait_until(lock, idleEnd_);
      else
        wake_.wait(lock);
      continue;
    }
    TRequest request = std::move(requests_.front());
    requests_.pop_front();
    lock.unlock();
    const auto answer = model_->Handle(request.Text);
    lock.lock();
    const auto due =
        std::max(request.EndedAt + std::chrono::milliseconds(answer.DelayMs), lastSent_);
    if (wake_.wait_until(lock, due, [this] { return stop_; })) break;
    lock.unlock();
    send_(answer.Text);
    lock.lock();
    lastSent_ = TClock::now();
  }
}

}  // namespace uSerialDovelaGsm
