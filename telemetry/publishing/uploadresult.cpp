#include "telemetry/publishing/uploadresult.h"

namespace kl::telemetry {

UploadResult::UploadResult() = default;

UploadResult::UploadResult(Kind kind, int httpStatus, const QString &errorText)
    : m_kind(kind)
    , m_httpStatus(httpStatus)
    , m_errorText(errorText)
{
}

void UploadResult::addStored(const QString &id)
{
    m_storedIds.append(id);
}

void UploadResult::addRefused(const Refusal &refusal)
{
    m_refused.append(refusal);
}

} // namespace kl::telemetry
