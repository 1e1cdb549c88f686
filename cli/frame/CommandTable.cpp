#include "frame/CommandTable.hpp"

#include <algorithm>
#include <array>

namespace tervala::cli {
namespace {

template <std::size_t First, std::size_t Second>
constexpr std::array<Option, First + Second> join(const std::array<Option, First>& first,
                                                  const std::array<Option, Second>& second) {
  std::array<Option, First + Second> all{};
  std::copy(first.begin(), first.end(), all.begin());
  std::copy(second.begin(), second.end(), all.begin() + First);
  return all;
}

// The global options that shape how any command runs: they may stand before the command word or
// among the command's own options, where a command option of the same name wins.
constexpr std::array shared{
    Option{.name = "debug", .help = "write the library's debug lines to standard error"},
    Option{
        .name = "settings",
        .takes = Takes::value,
        .valueName = "PATH",
        .help =
            "keep the stored token and verify's accepted codes in the settings file PATH (not the keyring, "
            "unless --keyring; default ~/.config/tervala/settings.sqlite3, in $XDG_CONFIG_HOME when set)"},
};

// Those that do the tool's whole work themselves, before any command word.
constexpr auto global =
    join(shared, std::array{
                     Option{.name = "version", .help = "print the version and exit"},
                     Option{.name = "generate-man",
                            .help = "print the manual page tervala(1) (roff) and exit; followed by a group, "
                                    "tervala-GROUP(1)"},
                     Option{.name = "generate-completion",
                            .takes = Takes::value,
                            .valueName = "SHELL",
                            .help = "print the completion script for SHELL (bash, zsh or fish) and exit"},
                 });

constexpr Option digits{.name = "digits",
                        .letter = 'd',
                        .takes = Takes::value,
                        .valueName = "DIGITS",
                        .help = "digits of each code: 6 or 8 (default 6)"};
constexpr Option algorithm{.name = "algorithm",
                           .letter = 'a',
                           .takes = Takes::value,
                           .valueName = "ALGORITHM",
                           .help = "SHA1, SHA256 or SHA512 (default SHA1)"};

constexpr Option period{.name = "period",
                        .letter = 'p',
                        .takes = Takes::value,
                        .valueName = "SECONDS",
                        .help = "length of one time step in seconds, fractions allowed (default 30)"};
constexpr Option time{.name = "time",
                      .letter = 't',
                      .takes = Takes::value,
                      .valueName = "TIME",
                      .help =
                          "this time instead of now: seconds since 1970, or ISO 8601 with its zone "
                          "(2026-12-06T12:00:00Z)"};
constexpr Option hex{.name = "hex", .help = "the secret is a hex key, not Base32"};
constexpr Option steam{.name = "steam", .help = "Steam Guard codes: five letters and digits"};

constexpr std::array totp{
    digits,
    algorithm,
    period,
    time,
    Option{.name = "watch",
           .letter = 'w',
           .help = "keep showing the current code, renewed each period, until interrupted"},
    steam,
    hex,
};

constexpr std::array hotp{
    digits,
    algorithm,
    Option{.name = "counter",
           .letter = 'c',
           .takes = Takes::value,
           .valueName = "COUNTER",
           .help = "the counter of the first code (needed unless a Key URI holds it)"},
    Option{.name = "count",
           .letter = 'n',
           .takes = Takes::value,
           .valueName = "COUNT",
           .help = "how many codes to print, for COUNTER, COUNTER+1, ... (default 1)"},
    hex,
};

constexpr std::array verify{
    Option{
        .name = "window",
        .takes = Takes::value,
        .valueName = "N",
        .help = "steps looked at on each side: periods around now, or counters after the next (default 1)"},
    Option{
        .name = "replay-store",
        .takes = Takes::value,
        .valueName = "PATH",
        .help =
            "keep the last accepted step in this settings file (default: the --settings file, "
            "else ~/.config/tervala/settings.sqlite3, in $XDG_CONFIG_HOME when set; created when missing)"},
    Option{.name = "no-replay", .help = "accept a code again: keep no record of accepted steps"},
    Option{.name = "counter",
           .letter = 'c',
           .takes = Takes::value,
           .valueName = "COUNTER",
           .help = "the next expected counter of a hotp key; makes a bare secret a hotp key"},
    digits,
    algorithm,
    period,
    time,
    hex,
};

constexpr Option issuer{
    .name = "issuer", .takes = Takes::value, .valueName = "ISSUER", .help = "who the key is for (a service)"};
constexpr Option account{.name = "account",
                         .takes = Takes::value,
                         .valueName = "ACCOUNT",
                         .help = "the account name (needed unless a Key URI names it)"};
constexpr Option qr{.name = "qr", .help = "print the Key URI as a QR code for a phone's camera"};

constexpr std::array uriTotp{
    issuer,
    account,
    digits,
    algorithm,
    Option{.name = "period",
           .letter = 'p',
           .takes = Takes::value,
           .valueName = "SECONDS",
           .help = "length of one time step, whole seconds from 10 to 300 (default 30)"},
    steam,
    hex,
    qr,
};

constexpr std::array uriHotp{
    issuer,
    account,
    digits,
    algorithm,
    Option{.name = "counter",
           .letter = 'c',
           .takes = Takes::value,
           .valueName = "COUNTER",
           .help = "the next counter (default 0)"},
    hex,
    qr,
};

// Where the account book keeps a new secret: the token commands' choice.
constexpr std::array bookStorage{
    Option{.name = "keyring",
           .help = "keep the secret in the desktop keyring (Secret Service); fail when none is reachable"},
    Option{.name = "allow-file",
           .help = "with --keyring: use the settings file when no keyring is reachable"},
    Option{.name = "file-store", .help = "keep the secret in the settings file, not in the keyring"},
};

constexpr std::array exportOptions = join(
    std::array{
        Option{.name = "batch-size",
               .takes = Takes::value,
               .valueName = "N",
               .help = "accounts per migration URI (default 10)"},
        Option{.name = "book", .help = "export the accounts of the book (also implied by PATTERN)"},
        Option{.name = "include-secrets",
               .help = "write the book's secrets out: needed to export from the book"},
        Option{.name = "qr", .help = "print each migration URI of the book as a QR code"},
    },
    bookStorage);

constexpr std::array bookList = join(
    std::array{Option{.name = "labels",
                      .help = "print the labels alone, one a line, for scripts and completion; a label that "
                              "would need escaping on a terminal is left out"}},
    bookStorage);

constexpr std::array bookAdd = join(
    std::array{Option{.name = "replace", .help = "replace an account of the same issuer and name"},
               Option{.name = "qr-image",
                      .takes = Takes::value,
                      .valueName = "FILE",
                      .help = "add the URI of the QR code in this PNG image (a screenshot), not an operand"}},
    bookStorage);

constexpr std::array bookCode = join(
    std::array{time,
               Option{.name = "copy",
                      .letter = 'c',
                      .help = "put the code on the clipboard (wl-copy or xclip), cleared after 45 seconds"}},
    bookStorage);

constexpr std::array bookRemove =
    join(std::array{Option{.name = "yes", .letter = 'y', .help = "remove without asking"}}, bookStorage);

constexpr Option issuerUrl{
    .name = "issuer",
    .takes = Takes::value,
    .valueName = "URL",
    .help = "find the endpoints not given in this issuer's metadata (RFC 8414 or OpenID)"};

// The parts every grant shares: where, and who asks.
constexpr std::array grantHead{
    Option{.name = "url",
           .takes = Takes::value,
           .valueName = "URL",
           .help = "the token endpoint (or --issuer; remembered by --profile)"},
    issuerUrl,
    Option{.name = "client-id",
           .takes = Takes::value,
           .valueName = "ID",
           .help = "the client identifier (remembered by --profile)"},
};

constexpr Option profile{.name = "profile",
                         .takes = Takes::value,
                         .valueName = "NAME",
                         .help = "the account NAME: remembers its endpoint, client id, scope and token"};

// Where the token is kept, for the commands that store or read it.
constexpr std::array tokenStorage{
    Option{.name = "keyring",
           .help = "keep the token in the desktop keyring (Secret Service); fail when none is reachable"},
    Option{.name = "allow-file",
           .help = "with --keyring: use the settings file when no keyring is reachable"},
    Option{.name = "file-store", .help = "keep the token in the settings file, not in the keyring"},
};

constexpr std::array grantTail{
    profile,
    Option{.name = "strict", .help = "refuse a reply that lacks a token field or holds one of another kind"},
    Option{.name = "lenient",
           .help = "accept replies without refresh_token, scope or expires_in, or expires_in as text "
                   "(the default)"},
    Option{.name = "client-secret",
           .takes = Takes::secret,
           .valueName = "TEXT",
           .help = "the client secret",
           .environment = "TERVALA_CLIENT_SECRET"},
    Option{.name = "scope",
           .takes = Takes::values,
           .valueName = "A,B,...",
           .help = "scope items to ask for; given again, the items add up"},
    Option{.name = "param",
           .takes = Takes::values,
           .valueName = "KEY=VALUE",
           .help = "a further form field; may be given again"},
    Option{.name = "timeout",
           .takes = Takes::value,
           .valueName = "SECONDS",
           .help = "limit of the whole request, above 0 (default 30; at most a day)"},
    Option{.name = "cacert",
           .takes = Takes::value,
           .valueName = "FILE",
           .help = "trust exactly the certificates in this PEM file"},
    Option{.name = "store",
           .help = "store a granted token: in the keyring when reachable, else the settings file"},
    Option{.name = "allow-http",
           .help = "allow sending credentials over plain http:// to a host that is not loopback"},
    Option{.name = "auth",
           .takes = Takes::value,
           .valueName = "METHOD",
           .help = "how the client authenticates: form (default), basic, none, private_key_jwt (a JWT signed "
                   "with --client-key) or client_secret_jwt (a JWT MACed with the client secret, 32 bytes or "
                   "more); a JWT's audience is --issuer when given, else the endpoint's URL"},
    Option{.name = "client-key",
           .takes = Takes::value,
           .valueName = "FILE",
           .help = "with --auth private_key_jwt: the client's unencrypted PEM private key (RSA, EC P-256 or "
                   "P-384, Ed25519)"},
    Option{.name = "client-key-id",
           .takes = Takes::value,
           .valueName = "ID",
           .help = "the key's identifier, sent as the JWT's kid"},
    Option{.name = "cert",
           .takes = Takes::value,
           .valueName = "FILE",
           .help = "the client's PEM certificate, presented to endpoints that ask for one (mutual TLS; "
                   "needed by --auth tls_client_auth and self_signed_tls_client_auth)"},
    Option{.name = "key",
           .takes = Takes::value,
           .valueName = "FILE",
           .help = "the unencrypted PEM private key of --cert"},
    Option{.name = "output",
           .takes = Takes::value,
           .valueName = "FORM",
           .help =
               "the JSON printed: tervala (default; expires_in quoted, nil when not known) or rfc6749 (the "
               "token endpoint's own shape: expires_in a number, unknown fields left out, a failure as "
               "error and error_description); a failure is printed on standard output and exits 1"},
    Option{.name = "dpop",
           .help = "bind the token to a new DPoP key, kept with it: every request proves possession of it"},
    Option{.name = "dpop-alg",
           .takes = Takes::value,
           .valueName = "ALG",
           .help = "with --dpop: the key's algorithm, ES256 (default) or EdDSA"},
};

constexpr auto tokenPassword =
    join(join(grantHead,
              std::array{
                  Option{.name = "username",
                         .takes = Takes::value,
                         .valueName = "NAME",
                         .help = "the resource owner",
                         .required = true},
                  Option{.name = "password",
                         .takes = Takes::secret,
                         .valueName = "TEXT",
                         .help = "the resource owner's password (asked for without echo when standard input "
                                 "is a terminal)",
                         .environment = "TERVALA_PASSWORD"},
                  Option{.name = "password-stdin",
                         .takes = Takes::stdinFor,
                         .valueName = "password",
                         .help = "read the password from standard input (as --password -)"},
              }),
         join(grantTail, tokenStorage));

constexpr auto tokenCode = join(join(grantHead,
                                     std::array{
                                         Option{.name = "code",
                                                .takes = Takes::secret,
                                                .valueName = "CODE",
                                                .help = "the authorization code",
                                                .environment = "TERVALA_CODE",
                                                .required = true},
                                     }),
                                join(grantTail, tokenStorage));

constexpr auto tokenRefresh =
    join(join(grantHead,
              std::array{
                  Option{.name = "refresh-token",
                         .takes = Takes::secret,
                         .valueName = "TOKEN",
                         .help = "the refresh token",
                         .environment = "TERVALA_REFRESH_TOKEN"},
                  Option{.name = "stored", .help = "use the refresh token of the stored token"},
              }),
         join(grantTail, tokenStorage));

constexpr auto tokenClient = join(join(grantHead, grantTail), tokenStorage);

// A row of the grants' shared tail, for the commands that take only some of them.
constexpr Option tailOption(std::string_view name) {
  for (const auto& option : grantTail) {
    if (option.name == name) {
      return option;
    }
  }
  return Option{};
}

// A service account's token: a JWT signed with --client-key stands for it.
constexpr auto tokenJwtBearer = join(join(grantHead,
                                          std::array{
                                              Option{.name = "subject",
                                                     .takes = Takes::value,
                                                     .valueName = "SUBJECT",
                                                     .help = "the service account the token is for "
                                                             "(the JWT's sub; default: the client id)"},
                                              Option{.name = "audience",
                                                     .takes = Takes::value,
                                                     .valueName = "AUD",
                                                     .help = "the JWT's aud (default: --issuer, else the "
                                                             "token endpoint's URL)"},
                                          }),
                                     join(grantTail, tokenStorage));

// A login keeps what it gets unless told not to, as other tools' logins do.
constexpr auto tokenLogin = join(
    join(
        std::array{
            Option{.name = "auth-url",
                   .takes = Takes::value,
                   .valueName = "URL",
                   .help = "the authorization endpoint the browser opens (or --issuer)",
                   .required = true,
                   .unlessGiven = "issuer"},
            Option{.name = "no-browser", .help = "print the URL to open instead of starting a browser"},
            Option{.name = "ipv6", .help = "listen for the browser's redirect on [::1], not 127.0.0.1"},
            Option{.name = "par",
                   .help = "push the request to the issuer's PAR endpoint (the default when it names one)"},
            Option{.name = "no-par",
                   .help = "send the whole request through the browser even when PAR is offered"},
        },
        grantHead),
    join(
        std::array{
            profile,
            tailOption("strict"),
            tailOption("lenient"),
            tailOption("client-secret"),
            tailOption("scope"),
            tailOption("param"),
            tailOption("timeout"),
            tailOption("cacert"),
            Option{
                .name = "store",
                .help =
                    "store the token (the default): in the keyring when reachable, else the settings file"},
            Option{.name = "no-store", .help = "only print the token; do not store it"},
            tailOption("allow-http"),
            tailOption("auth"),
            tailOption("client-key"),
            tailOption("client-key-id"),
            tailOption("cert"),
            tailOption("key"),
            tailOption("dpop"),
            tailOption("dpop-alg"),
        },
        tokenStorage));

constexpr auto tokenDevice =
    join(grantHead, std::array{
                        Option{.name = "device-url",
                               .takes = Takes::value,
                               .valueName = "URL",
                               .help = "the device authorization endpoint (or --issuer)"},
                        Option{.name = "no-qr", .help = "do not draw the QR code"},
                        tailOption("client-secret"),
                        tailOption("scope"),
                        tailOption("timeout"),
                        tailOption("cacert"),
                        tailOption("store"),
                        tailOption("allow-http"),
                        tailOption("auth"),
                        tailOption("client-key"),
                        tailOption("client-key-id"),
                        tailOption("cert"),
                        tailOption("key"),
                        tailOption("output"),
                        tokenStorage[0],
                        tokenStorage[1],
                        tokenStorage[2],
                        tailOption("dpop"),
                        tailOption("dpop-alg"),
                    });

// Revoke and inspect send a token to an endpoint of their own.
constexpr auto tokenAbout = [](std::string_view endpoint) {
  return std::array{
      Option{.name = "url",
             .takes = Takes::value,
             .valueName = "URL",
             .help = endpoint,
             .required = true,
             .unlessGiven = "issuer"},
      issuerUrl,
      Option{.name = "client-id",
             .takes = Takes::value,
             .valueName = "ID",
             .help = "the client identifier",
             .required = true},
      Option{.name = "token",
             .takes = Takes::secret,
             .valueName = "TOKEN",
             .help = "the token",
             .environment = "TERVALA_TOKEN"},
      Option{.name = "stored", .help = "the stored token (for revoke its refresh token, when it has one)"},
      Option{.name = "token-type-hint",
             .takes = Takes::value,
             .valueName = "KIND",
             .help = "access_token or refresh_token (default for --stored: its kind)"},
      tailOption("client-secret"),
      tailOption("auth"),
      tailOption("client-key"),
      tailOption("client-key-id"),
      tailOption("cert"),
      tailOption("key"),
      tailOption("timeout"),
      tailOption("cacert"),
      tailOption("allow-http"),
      tailOption("output"),
  };
};
constexpr auto tokenRevoke = join(tokenAbout("the revocation endpoint (or --issuer)"), tokenStorage);
constexpr auto tokenInspect = join(tokenAbout("the introspection endpoint (or --issuer)"), tokenStorage);

constexpr auto tokenWhoami = join(std::array{profile}, tokenStorage);

constexpr auto tokenUserinfo = join(
    std::array{Option{.name = "userinfo-url",
                      .takes = Takes::value,
                      .valueName = "URL",
                      .help = "the UserInfo endpoint (or --issuer)"},
               issuerUrl, profile, tailOption("timeout"), tailOption("cacert"), tailOption("allow-http")},
    tokenStorage);
// curl with the stored token's headers; the words after the URL are curl's own.
constexpr auto tokenCurl =
    join(std::array{Option{.name = "method",
                           .takes = Takes::value,
                           .valueName = "METHOD",
                           .help = "the request's method (default GET), also given to curl"},
                    profile, tailOption("allow-http")},
         tokenStorage);

constexpr auto tokenShow = join(
    std::array{Option{.name = "json", .help = "print the token as one JSON object"}, profile}, tokenStorage);

constexpr auto tokenGet = join(
    grantHead,
    std::array{
        Option{.name = "header",
               .help = "print the Authorization header value (\"Bearer ...\") instead; a DPoP-bound token "
                       "needs --method and --url"},
        Option{
            .name = "method",
            .takes = Takes::value,
            .valueName = "METHOD",
            .help =
                "print the header lines of one request of this method to --url (then the URL it goes "
                "to; a refresh's endpoint comes from --issuer): Authorization, and DPoP for a bound token"},
        tailOption("client-secret"),
        Option{.name = "timeout",
               .takes = Takes::value,
               .valueName = "SECONDS",
               .help = "limit of a refresh request, above 0 (default 30; at most a day)"},
        tailOption("cacert"),
        Option{.name = "allow-http",
               .help = "allow sending the refresh token over plain http:// to a host that is not loopback"},
        tailOption("auth"),
        tailOption("client-key"),
        tailOption("client-key-id"),
        tailOption("cert"),
        tailOption("key"),
        tokenStorage[0],
        tokenStorage[1],
        tokenStorage[2],
    });

// Logout revokes at the server when told where (--revoke-url or --issuer), then forgets.
constexpr auto tokenLogout =
    join(std::array{profile,
                    Option{.name = "revoke-url",
                           .takes = Takes::value,
                           .valueName = "URL",
                           .help = "revoke the token at this endpoint first (or --issuer)"},
                    issuerUrl,
                    Option{.name = "client-id",
                           .takes = Takes::value,
                           .valueName = "ID",
                           .help = "the client identifier (default: the profile's)"},
                    tailOption("client-secret"), tailOption("auth"), tailOption("client-key"),
                    tailOption("client-key-id"), tailOption("timeout"), tailOption("cacert"),
                    tailOption("allow-http"), tailOption("cert"), tailOption("key")},
         tokenStorage);

// The options of `token get` a stored token still good is answered alike with: the refresh's
// endpoint and client are not needed before a refresh.
constexpr std::array<std::string_view, 6> tokenGetQuickOptions{"header",     "keyring", "allow-file",
                                                               "file-store", "url",     "client-id"};

// The program beside the tool that links the whole library: the network, the store and codecs.
constexpr std::string_view tokenProgram = "tervala-token";

const std::array table{
    Command{.name = "totp",
            .summary = "print the time-based one-time password of a secret or Key URI",
            .options = totp,
            .operand = "SECRET|URI|-",
            .secretOperand = true,
            .run = runTotp},
    Command{.name = "hotp",
            .summary = "print counter-based one-time passwords of a secret or Key URI",
            .options = hotp,
            .operand = "SECRET|URI|-",
            .secretOperand = true,
            .run = runHotp},
    Command{.name = "verify",
            .summary = "check a code: exit 0 and its step offset on a match, 1 on none or a replay",
            .options = verify,
            .operand = "CODE SECRET|URI|-",
            .secretOperand = true,
            .program = tokenProgram,
            .run = runVerify},
    Command{.name = "uri totp",
            .summary = "print the Key URI (otpauth://) of a time-based key, or its QR code",
            .options = uriTotp,
            .operand = "SECRET|URI|-",
            .secretOperand = true,
            .program = tokenProgram,
            .run = runUriTotp},
    Command{.name = "uri hotp",
            .summary = "print the Key URI (otpauth://) of a counter-based key, or its QR code",
            .options = uriHotp,
            .operand = "SECRET|URI|-",
            .secretOperand = true,
            .program = tokenProgram,
            .run = runUriHotp},
    Command{.name = "import",
            .summary = "print the accounts of authenticator exports (otpauth-migration://) as Key URIs",
            .options = {},
            .operand = "MIGRATION_URI|-",
            .secretOperand = true,
            .program = tokenProgram,
            .run = runImport},
    Command{
        .name = "export",
        .summary = "print Key URIs read on standard input, or the book's accounts, as authenticator exports",
        .options = exportOptions,
        .operand = "[PATTERN]",
        .accountOperand = true,
        .program = tokenProgram,
        .run = runExport},
    Command{.name = "add",
            .summary = "keep a key (Key URI or migration URI, or a QR image of one) in the account book",
            .options = bookAdd,
            .operand = "[URI|-]",
            .secretOperand = true,
            .program = tokenProgram,
            .run = runBookAdd},
    Command{.name = "list",
            .summary = "list the accounts of the book (issuer and name, never a secret)",
            .options = bookList,
            .operand = "[PATTERN]",
            .accountOperand = true,
            .program = tokenProgram,
            .run = runBookList},
    Command{
        .name = "code",
        .summary = "print the codes of the book's accounts matching PATTERN; one match prints the code alone",
        .options = bookCode,
        .operand = "[PATTERN]",
        .accountOperand = true,
        .program = tokenProgram,
        .run = runBookCode},
    Command{.name = "rename",
            .summary = "give an account of the book a new label (Issuer:account)",
            .options = bookStorage,
            .operand = "OLD NEW",
            .accountOperand = true,
            .program = tokenProgram,
            .run = runBookRename},
    Command{.name = "rm",
            .summary = "remove an account and its secret from the book",
            .options = bookRemove,
            .operand = "PATTERN",
            .accountOperand = true,
            .program = tokenProgram,
            .run = runBookRemove},
    Command{.name = "token password",
            .summary = "ask the token endpoint for a token with the resource owner's password",
            .options = tokenPassword,
            .program = tokenProgram,
            .run = runTokenPassword},
    Command{.name = "token code",
            .summary = "exchange an authorization code for a token",
            .options = tokenCode,
            .program = tokenProgram,
            .run = runTokenCode},
    Command{.name = "token refresh",
            .summary = "renew a token with a refresh token",
            .options = tokenRefresh,
            .program = tokenProgram,
            .run = runTokenRefresh},
    Command{.name = "token login",
            .summary = "log in through the browser: code grant with PKCE, redirect to a loopback port",
            .options = tokenLogin,
            .program = tokenProgram,
            .run = runTokenLogin},
    Command{.name = "token client",
            .summary = "ask the token endpoint for a token of the client itself (client credentials)",
            .options = tokenClient,
            .program = tokenProgram,
            .run = runTokenClient},
    Command{.name = "token show",
            .summary = "show the stored token: exit 0 valid, 1 none, 3 expired",
            .options = tokenShow,
            .program = tokenProgram,
            .run = runTokenShow},
    Command{.name = "token get",
            .summary = "print a valid token, refreshed and stored first when about to expire",
            .options = tokenGet,
            .program = tokenProgram,
            .run = runTokenGet,
            .quick = answerTokenGetFromStore,
            .quickOptions = tokenGetQuickOptions},
    Command{.name = "token device",
            .summary = "log in on another device: show a code to enter there, then wait for the token",
            .options = tokenDevice,
            .program = tokenProgram,
            .run = runTokenDevice},
    Command{.name = "token revoke",
            .summary = "tell the authorization server a token is no longer needed",
            .options = tokenRevoke,
            .program = tokenProgram,
            .run = runTokenRevoke},
    Command{.name = "token inspect",
            .summary = "ask the authorization server about a token: exit 0 active, 3 inactive",
            .options = tokenInspect,
            .program = tokenProgram,
            .run = runTokenInspect},
    Command{.name = "token logout",
            .summary = "forget the stored token (of a profile): exit 0 forgotten, 1 none stored",
            .options = tokenLogout,
            .program = tokenProgram,
            .run = runTokenLogout},
    Command{.name = "token profiles",
            .summary = "list the profiles that remember an account, one name a line",
            .program = tokenProgram,
            .run = runTokenProfiles},
    Command{.name = "token whoami",
            .summary = "print the verified ID token's claims: exit 0 valid, 1 none, 3 expired",
            .options = tokenWhoami,
            .program = tokenProgram,
            .run = runTokenWhoami},
    Command{.name = "token userinfo",
            .summary = "ask the OpenID provider's UserInfo endpoint about the stored token's user",
            .options = tokenUserinfo,
            .program = tokenProgram,
            .run = runTokenUserinfo},
    Command{
        .name = "token jwt-bearer",
        .summary = "ask for a service account's token with a JWT signed by --client-key (JWT bearer grant)",
        .options = tokenJwtBearer,
        .program = tokenProgram,
        .run = runTokenJwtBearer},
    Command{.name = "token curl",
            .summary = "run curl with the stored token's headers (a DPoP proof for a bound token), "
                       "curl's own arguments after --",
            .options = tokenCurl,
            .operand = "URL [CURL-ARGS...]",
            .program = tokenProgram,
            .run = runTokenCurl},
};

std::string_view firstWord(std::string_view name) {
  return name.substr(0, name.find(' '));
}

}  // namespace

std::span<const Command> commands() noexcept {
  return table;
}

std::span<const Option> globalOptions() noexcept {
  return global;
}

std::span<const Option> sharedOptions() noexcept {
  return shared;
}

std::vector<Option> optionsAfter(const Command& command) {
  std::vector<Option> options(command.options.begin(), command.options.end());
  for (const auto& option : shared) {
    const bool taken = std::any_of(command.options.begin(), command.options.end(), [&](const Option& own) {
      return own.name == option.name || (option.letter != '\0' && own.letter == option.letter);
    });
    if (!taken) {
      options.push_back(option);
    }
  }
  return options;
}

const Command* findCommand(std::string_view name) noexcept {
  const auto* found =
      std::find_if(table.begin(), table.end(), [&](const Command& c) { return c.name == name; });
  return found == table.end() ? nullptr : found;
}

std::vector<std::string_view> firstWords() {
  std::vector<std::string_view> words;
  for (const auto& command : table) {
    if (std::find(words.begin(), words.end(), firstWord(command.name)) == words.end()) {
      words.push_back(firstWord(command.name));
    }
  }
  return words;
}

std::vector<std::string_view> commandGroups() {
  std::vector<std::string_view> groups;
  for (const auto& command : table) {
    const auto word = firstWord(command.name);
    if (word != command.name && std::find(groups.begin(), groups.end(), word) == groups.end()) {
      groups.push_back(word);
    }
  }
  return groups;
}

}  // namespace tervala::cli
