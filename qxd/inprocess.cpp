#include "qxd/inprocess.h"

#include "platform/device/arena.h"

#include <cstring>
#include <strings.h>

namespace vx::qxd {

namespace {

class InProcessConnection final : public vx::device::DeviceConnection {
public:
    InProcessConnection(InProcessBackend &backend, Channel channel)
        : keep_(backend.weak_from_this().lock()), backend_(backend), channel_(channel)
    {
    }

    bool Control(const vx::device::ControlParams &p, DWORD &bytesReturned, DWORD &error) override
    {
        Result result;
        if (!backend_.intercept || !backend_.intercept(channel_, p, result)) {
            StubMemory memory;
            result = backend_.engine().Handle(
                Request{channel_, p.code, reinterpret_cast<uintptr_t>(p.inBuffer), p.inLen,
                        reinterpret_cast<uintptr_t>(p.outBuffer), p.outLen},
                memory);
        }
        backend_.calls.push_back({channel_, p, result});
        bytesReturned = result.bytesReturned;
        error = result.ok ? 0 : result.error;
        return result.ok;
    }

private:
    std::shared_ptr<InProcessBackend> keep_;
    InProcessBackend &backend_;
    Channel channel_;
};

} // namespace

std::unique_ptr<vx::device::DeviceConnection> InProcessBackend::Open(const vx::device::OpenParams &params, DWORD &error)
{
    opens.push_back(params);
    error = ERROR_FILE_NOT_FOUND;
    if (failOpen) {
        error = failOpen;
        return nullptr;
    }
    std::string name = params.name;
    for (const char *prefix : {"\\\\.\\Global\\", "\\\\.\\"}) {
        if (strncasecmp(name.c_str(), prefix, std::strlen(prefix)) == 0) {
            name = name.substr(std::strlen(prefix));
            break;
        }
    }
    if (name == "QXDAnsi")
        return std::make_unique<InProcessConnection>(*this, Channel::Ansi);
    if (name == "QXDUni")
        return std::make_unique<InProcessConnection>(*this, Channel::Unicode);
    return nullptr;
}

void StubMemory::ReadMany(std::span<ReadOp> ops)
{
    for (auto &op : ops) {
        if (!vx::device::InArenaMapping(op.addr, op.len)) {
            op.status = ERROR_NOACCESS;
            continue;
        }
        op.out->resize(op.len);
        op.status = vx::device::StubRead(op.addr, op.len, op.out->data());
    }
}

void StubMemory::WriteMany(std::span<WriteOp> ops)
{
    for (auto &op : ops)
        op.status = vx::device::StubWrite(op.addr, op.data.data(), uint32_t(op.data.size()));
}

ScopedInProcessEngine::ScopedInProcessEngine(std::shared_ptr<Engine> engine)
    : backend_(std::make_shared<InProcessBackend>(std::move(engine)))
{
    previous_ = vx::device::SetDeviceBackend(backend_);
}

ScopedInProcessEngine::~ScopedInProcessEngine()
{
    vx::device::SetDeviceBackend(previous_);
}

} // namespace vx::qxd
