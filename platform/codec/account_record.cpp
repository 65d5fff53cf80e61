#include "account_record.h"

#include <array>

#include "base64_codec.h"

namespace account {

Record Decode(std::string_view stored) {
    std::array<std::string_view, 9> fields{};
    for (std::size_t i = 0, start = 0; i < fields.size() && start <= stored.size(); ++i) {
        const std::size_t tab = stored.find('\t', start);
        fields[i] = stored.substr(start, tab - start);
        start = tab == std::string_view::npos ? stored.size() + 1 : tab + 1;
    }
    Record r;
    const std::string credentials = base64::Decode(fields[0]);
    const std::size_t colon = credentials.find(':');
    r.address = credentials.substr(0, colon);
    if (colon != std::string::npos) r.password = credentials.substr(colon + 1);
    r.server = fields[1];
    r.forward = fields[2];
    r.login = base64::Decode(fields[4]);
    r.leave = fields[5];
    r.secure = fields[6];
    r.enable = fields[7];
    r.type = fields[8];
    return r;
}

std::string Encode(const Record& r) {
    return base64::Encode(r.address + ":" + r.password) + '\t' + r.server + '\t' + r.forward + "\t\t" +
           base64::Encode(r.login) + '\t' + r.leave + '\t' + r.secure + '\t' + r.enable + '\t' + r.type + '\t';
}

} // namespace account
