#pragma once

#include "telemetry/korveltelemetry_export.h"

namespace kl::telemetry {

/**
 * The one instance of T in the process, built on first use (safely from several threads at
 * once) and destroyed with the other statics at process exit.
 *
 * The template is exported so that the library and the application share one instance:
 * with hidden visibility each shared object would otherwise keep a copy of its own.
 * \ingroup advanced
 */
template<typename T>
class KORVELTELEMETRY_EXPORT Singleton
{
public:
    /// The instance, created on the first call.
    static T *getInstance()
    {
        static T instance;
        return &instance;
    }
};

} // namespace kl::telemetry
