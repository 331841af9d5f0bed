#include "context.h"

#include <cstdio>
#include <cstdlib>

#include "scheduler.h"

namespace vel::rt {

namespace {
thread_local ContextImpl* tlsContext = nullptr;
thread_local char tlsThreadIdentity;
}  // namespace

ContextImpl::ContextImpl(Runtime& runtime, Scheduler& scheduler, std::string name, ContextKind kind,
                         bool worker)
    : runtime_(runtime),
      scheduler_(scheduler),
      name_(std::move(name)),
      kind_(kind),
      worker_(worker),
      irql_(kind == ContextKind::Dispatch ? Irql::Dispatch : Irql::Passive) {}

bool ContextImpl::finished() const {
    return scheduler_.finished(*this);
}

std::string ContextImpl::waitingFor() const {
    return scheduler_.waitingFor(*this);
}

ContextImpl* threadContext() {
    return tlsContext;
}

ContextImpl* setThreadContext(ContextImpl* context) {
    ContextImpl* previous = tlsContext;
    tlsContext = context;
    return previous;
}

const void* callerIdentity() {
    if (tlsContext != nullptr) {
        return tlsContext;
    }
    return &tlsThreadIdentity;
}

Runtime* callerRuntime() {
    if (tlsContext != nullptr) {
        return &tlsContext->runtime();
    }
    return Runtime::current();
}

Runtime& hostRuntime() {
    Runtime* runtime = callerRuntime();
    if (runtime == nullptr) {
        fatal("a runtime primitive was used with no live Runtime");
    }
    return *runtime;
}

void fatal(const std::string& message) {
    std::fprintf(stderr, "vel runtime: %s\n", message.c_str());
    std::abort();
}

}  // namespace vel::rt
