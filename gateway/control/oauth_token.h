// The access token of an XOAUTH2 login: asked of the token endpoint with the
// client-credentials grant once in a run, and kept for the run's other login.
#pragma once

#include <string>

// The token, or null with the entry's text in *failure (the endpoint's
// error and its description when it refused). Neither the client secret
// nor the token is ever part of that text.
const std::string* AccessToken(std::string* failure);

// Forgets the token kept, so that the next AccessToken asks again.
void ForgetAccessToken();
