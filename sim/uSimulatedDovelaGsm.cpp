#include "sim/uSimulatedDovelaGsm.h"

#include <algorithm>

#include "ci/uThreadUtils.h"

namespace uSimulatedDovelaGsm {

namespace {
uHidPlatform::THidDeviceInfo DeviceInfo(std::string serial) {
  uHidPlatform::THidDeviceInfo info;
  info.VendorID = kVendorId;
  info.ProductID = kProductId;
  info.Manufacturer = "Dovela s.r.o.";
  info.Product = "Dovela GSM Modem";
  info.SerialNumber = std::move(serial);
  info.InputReportByteLength = kReportLength;
  info.OutputReportByteLength = kReportLength;
  return info;
}
}  // namespace

std::shared_ptr<TSimulatedDovelaGsm> TSimulatedDovelaGsm::Add(
    uHidSimulated::TSimulatedHidBackend& backend, std::string serial,
    std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model) {
  if (!model) model = std::make_shared<uDovelaGsmModel::TDovelaGsmModel>(serial);
  auto unit = std::make_shared<TSimulatedDovelaGsm>(TPassKey{}, backend, std::move(serial),
                                                    std::move(model));
  // The device owns its handler, and the handler must not own the unit that owns the device.
  std::weak_ptr<TSimulatedDovelaGsm> weak = unit;
  unit->device_->SetOnOutputReport([weak](const std::string& report) {
    if (const auto self = weak.lock()) self->OnOutputReport(report);
  });
  return unit;
}

TSimulatedDovelaGsm::TSimulatedDovelaGsm(TPassKey, uHidSimulated::TSimulatedHidBackend& backend,
                                         std::string serial,
                                         std::shared_ptr<uDovelaGsmModel::TDovelaGsmModel> model)
    : backend_(backend),
      model_(std::move(model)),
      device_(backend.AddDevice(DeviceInfo(std::move(serial)))),
      worker_([this] { Run(); }) {}

TSimulatedDovelaGsm::~TSimulatedDovelaGsm() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
  device_->SetOnOutputReport({});
  backend_.RemoveDevice(device_);
}

int TSimulatedDovelaGsm::Requests() const {
  std::lock_guard lock(mutex_);
  return requestCount_;
}

void TSimulatedDovelaGsm::OnOutputReport(const std::string& report) {
  if (report.size() < 2) return;  // no length byte: nothing the unit can read
  const std::size_t length = static_cast<unsigned char>(report[1]);
  const std::size_t used = std::min({length, report.size() - 2, kPayloadBytes});
  const auto now = TClock::now();
  {
    std::lock_guard lock(mutex_);
    if (awaitingIdle_ && now >= idleEnd_) EndRequest(idleEnd_);
    // Past the unit's buffer the rest is not kept; the model answers that it is too long.
    if (partial_.size() <= uDovelaGsmModel::kMaxRequestBytes) partial_.append(report, 2, used);
    if (length < kPayloadBytes) {
      EndRequest(now);
    } else {
      awaitingIdle_ = true;
      idleEnd_ = now + std::chrono::milliseconds(kIdleEndMs);
    }
  }
  wake_.notify_all();
}

void TSimulatedDovelaGsm::EndRequest(TClock::time_point at) {
  requests_.push_back({std::move(partial_), at});
  partial_.clear();
  awaitingIdle_ = false;
  ++requestCount_;
}

void TSimulatedDovelaGsm::Run() {
  uThreadUtils::SetCurrentThreadName("Dovela GSM sim");
  std::unique_lock lock(mutex_);
  while (!stop_) {
    if (awaitingIdle_ && TClock::now() >= idleEnd_) EndRequest(idleEnd_);
    if (requests_.empty()) {
      if (awaitingIdle_)
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
    // After the unit's answer time, and never into the previous answer.
    const auto due = std::max(request.EndedAt + std::chrono::milliseconds(answer.DelayMs),
                              lastReport_ + std::chrono::milliseconds(kReportGapMs));
    if (wake_.wait_until(lock, due, [this] { return stop_; })) break;
    const std::size_t reports =
        std::max<std::size_t>(1, (answer.Text.size() + kPayloadBytes - 1) / kPayloadBytes);
    lastReport_ = TClock::now() + std::chrono::milliseconds(kReportGapMs * (reports - 1));
    lock.unlock();
    SendAnswer(answer.Text);
    lock.lock();
  }
}

void TSimulatedDovelaGsm::SendAnswer(const std::string& text) {
  std::uint32_t delay = 0;
  for (std::size_t offset = 0; offset < text.size(); offset += kPayloadBytes) {
    const std::size_t used = std::min(kPayloadBytes, text.size() - offset);
    std::string report(kReportLength, '\0');
    report[0] = static_cast<char>(kReportLength - 1);
    report[1] = static_cast<char>(used);
    report.replace(2, used, text, offset, used);
    device_->QueueInputReport(std::move(report), delay);
    delay += kReportGapMs;
  }
}

}  // namespace uSimulatedDovelaGsm
