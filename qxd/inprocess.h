// The engine core served in-process through the device seam: CreateFileA on "\\.\QXDAnsi",
// "\\.\QXDUni" (and their "\\.\Global\" spellings) reaches `engine` directly; its memory
// accesses go through the same arena stub as behind the socket. For tests and benchmarks.
#pragma once

#include "platform/device/device.h"
#include "qxd/core.h"

#include <functional>
#include <memory>
#include <vector>

namespace vx::qxd {

// Connections keep the backend (and so the engine) alive when it is held by a shared_ptr.
class InProcessBackend : public vx::device::DeviceBackend, public std::enable_shared_from_this<InProcessBackend> {
public:
    explicit InProcessBackend(std::shared_ptr<Engine> engine) : engine_(std::move(engine)) {}

    std::unique_ptr<vx::device::DeviceConnection> Open(const vx::device::OpenParams &params, DWORD &error) override;

    // Every open and every request, in order, as the backend saw them.
    struct Call {
        Channel channel;
        vx::device::ControlParams params;
        Result result;
    };
    std::vector<vx::device::OpenParams> opens;
    std::vector<Call> calls;
    // Runs before each request reaches the engine; may change the result instead (return true).
    std::function<bool(Channel, const vx::device::ControlParams &, Result &)> intercept;
    // Fail every open with this code when nonzero.
    DWORD failOpen = 0;

    Engine &engine() { return *engine_; }

private:
    std::shared_ptr<Engine> engine_;
};

// Caller memory through the arena stub (vx::device::StubRead/StubWrite).
class StubMemory final : public MemoryAccess {
public:
    void ReadMany(std::span<ReadOp> ops) override;
    void WriteMany(std::span<WriteOp> ops) override;
};

// Installs an in-process backend for the lifetime of the object, restoring the previous one.
class ScopedInProcessEngine {
public:
    explicit ScopedInProcessEngine(std::shared_ptr<Engine> engine = std::make_shared<Engine>());
    ~ScopedInProcessEngine();
    ScopedInProcessEngine(const ScopedInProcessEngine &) = delete;
    ScopedInProcessEngine &operator=(const ScopedInProcessEngine &) = delete;

    InProcessBackend &backend() { return *backend_; }
    Engine &engine() { return backend_->engine(); }

private:
    std::shared_ptr<InProcessBackend> backend_;
    std::shared_ptr<vx::device::DeviceBackend> previous_;
};

} // namespace vx::qxd
