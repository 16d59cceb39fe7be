// KaEnvironment: an environment block for a child process, built up one
// variable at a time.
#ifndef KA_PROCESS_ENVIRONMENT_H
#define KA_PROCESS_ENVIRONMENT_H

#include "frame/ref_counted.h"
#include "ka/process.h"

#include <map>
#include <string>

namespace ka {

class Environment final : public RefCounted<Environment, KaEnvironment> {
public:
    bool SetVariable(const wchar_t* name, const wchar_t* value) override;
    const wchar_t* GetBlock() override;

    // Copies the entries of a block as GetEnvironmentStringsW gives it,
    // without the hidden per-drive "=C:" entries.
    void Fill(const wchar_t* block);

private:
    // std::wstring compares by UTF-16 code unit: "B" sorts before "a" and
    // "Path" and "PATH" are two entries, as the block's users expect.
    std::map<std::wstring, std::wstring> variables_;
    std::wstring block_;  // the last GetBlock result; emptied by every change
};

}  // namespace ka

#endif
