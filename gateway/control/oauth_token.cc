#include "gateway/control/oauth_token.h"

#include <nlohmann/json.hpp>

#include <optional>

#include "gateway/control/https_client.h"
#include "gateway/control/settings.h"

namespace {

std::optional<std::string> kept_token;

// A string member of the reply, or an empty text.
std::string Member(const nlohmann::json& reply, const char* name) {
  if (!reply.is_object()) return "";
  const auto found = reply.find(name);
  return found != reply.end() && found->is_string() ? found->get<std::string>() : "";
}

}  // namespace

const std::string* AccessToken(std::string* failure) {
  if (kept_token) return &*kept_token;
  const GatewaySettingsRecord& s = GatewaySettings;
  HttpsUrl url;
  if (!ParseHttpsUrl(s.oauthtokenurl, &url)) {
    *failure = "Token request failed - bad oauthtokenurl";
    return nullptr;
  }
  const std::string form = "grant_type=client_credentials&client_id=" +
                           FormEncode(s.oauthclientid) +
                           "&client_secret=" + FormEncode(s.poppass) +
                           "&scope=" + FormEncode(s.oauthscope);
  HttpReply reply;
  const std::string step =
      HttpsPost(url, "application/x-www-form-urlencoded", form, s.popcafile, &reply);
  if (!step.empty()) {
    *failure = "Token request failed - " + step;
    return nullptr;
  }
  const nlohmann::json json = nlohmann::json::parse(reply.body, nullptr, false);
  const std::string token = Member(json, "access_token");
  if (reply.status == 200 && !token.empty()) {
    kept_token = token;
    return &*kept_token;
  }
  std::string text = "Token refused - HTTP " + std::to_string(reply.status);
  if (json.is_discarded()) {
    text += " - reply is not JSON";
  } else if (reply.status == 200) {
    text += " - no access_token";
  }
  const std::string error = Member(json, "error");
  const std::string description = Member(json, "error_description");
  if (!error.empty()) text += " - " + error;
  if (!description.empty()) text += " - " + description;
  *failure = text;
  return nullptr;
}

void ForgetAccessToken() { kept_token.reset(); }
