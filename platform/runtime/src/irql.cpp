// IRQL of the calling context. Raising to a lower level or lowering to a higher one is a
// contract violation; the level is left unchanged.
#include "context.h"
#include "vel/runtime/verifier.h"

namespace vel::rt {

Irql currentIrql() {
    ContextImpl* context = threadContext();
    return context != nullptr ? context->irql() : Irql::Passive;
}

Irql raiseIrql(Irql level) {
    ContextImpl* context = threadContext();
    if (context == nullptr) {
        return Irql::Passive;
    }
    Irql previous = context->irql();
    if (level < previous) {
        context->runtime().verifier().report(
            Rule::ContractViolation, "IRQL",
            std::string("raise to ") + toString(level) + " from " + toString(previous));
        return previous;
    }
    context->setIrql(level);
    return previous;
}

void lowerIrql(Irql level) {
    ContextImpl* context = threadContext();
    if (context == nullptr) {
        return;
    }
    if (level > context->irql()) {
        context->runtime().verifier().report(
            Rule::ContractViolation, "IRQL",
            std::string("lower to ") + toString(level) + " from " + toString(context->irql()));
        return;
    }
    context->setIrql(level);
}

}  // namespace vel::rt
