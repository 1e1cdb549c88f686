// The OpenID provider of the tests: oidc-provider on 127.0.0.1, on a port the system picks.
// Standard input's first line is the configuration as one JSON object (oidc-provider's own
// options: clients, features, ttl, ...; features it leaves out keep the defaults below). The
// first line of standard output is the issuer URL. The provider ends when standard input ends,
// so a test that dies never leaves it running.
import { generateKeyPair, randomBytes } from 'node:crypto';
import { createServer } from 'node:http';
import { createServer as createTlsServer } from 'node:https';
import { createInterface } from 'node:readline';
import { promisify } from 'node:util';

// Standard output carries the issuer line alone, and its reader stops there: the provider's
// notices go to standard error.
console.log = console.error;
console.info = console.error;

// Keys of its own for each run (which also keeps the provider's warning about development keys
// quiet), made on the thread pool while the provider's modules load.
const signing = (type, options, header) =>
  promisify(generateKeyPair)(type, options).then(({ privateKey }) => ({
    ...privateKey.export({ format: 'jwk' }),
    ...header,
  }));
const keys = Promise.all([
  signing('rsa', { modulusLength: 2048 }, { kid: 'rs', use: 'sig', alg: 'RS256' }),
  signing('ec', { namedCurve: 'P-256' }, { kid: 'es', use: 'sig', alg: 'ES256' }),
]);
const { default: Provider } = await import('oidc-provider');

const input = createInterface({ input: process.stdin });
input.on('close', () => process.exit(0));
const configuration = JSON.parse(await new Promise((resolve) => input.once('line', resolve)));

// A test that wants DPoP nonces demanded ({"features":{"dPoP":{"requireNonce":true}}}) gets the
// secret they are made with and the rule that asks for them: neither travels as JSON.
if (configuration.features?.dPoP?.requireNonce === true) {
  configuration.features.dPoP = {
    enabled: true,
    ...configuration.features.dPoP,
    nonceSecret: randomBytes(32),
    requireNonce: () => true,
  };
}

// "refreshTokens": true grants a refresh token to every client allowed the grant, without the
// offline_access scope and the consent it needs (a function, which JSON cannot carry).
if (configuration.refreshTokens === true) {
  configuration.issueRefreshToken = async (ctx, client) => client.grantTypeAllowed('refresh_token');
}
delete configuration.refreshTokens;

// With "tls" ({ cert, key } in PEM) the provider is served over HTTPS and asks every client for a
// certificate: mutual TLS is on, a client's certificate is its connection's, and any certificate
// counts as verified (the tests' certificates are self-signed); a tls_client_auth client is named
// by the IP address its certificate holds.
const { tls } = configuration;
delete configuration.tls;
const server = tls ? createTlsServer({ ...tls, requestCert: true, rejectUnauthorized: false }) : createServer();
await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
const issuer = `${tls ? 'https' : 'http'}://127.0.0.1:${server.address().port}`;
const peer = (ctx) => ctx.socket.getPeerX509Certificate?.();
const mutualTls = tls && {
  mTLS: {
    enabled: true,
    certificateBoundAccessTokens: true,
    tlsClientAuth: true,
    selfSignedTlsClientAuth: true,
    getCertificate: peer,
    certificateAuthorized: (ctx) => Boolean(peer(ctx)),
    certificateSubjectMatches: (ctx, property, expected) =>
      property === 'tls_client_auth_san_ip' &&
      (peer(ctx)?.subjectAltName ?? '').split(', ').includes(`IP Address:${expected}`),
  },
};

const provider = new Provider(issuer, {
  jwks: { keys: await keys },
  cookies: { keys: [randomBytes(32).toString('base64url')] },
  ...configuration,
  features: {
    devInteractions: { enabled: false },
    clientCredentials: { enabled: true },
    introspection: { enabled: true },
    revocation: { enabled: true },
    dPoP: { enabled: true },
    pushedAuthorizationRequests: { enabled: true },
    ...mutualTls,
    ...configuration.features,
  },
});
// A fault of the provider itself shows in the test's output; refusals are in the replies.
provider.on('server_error', (ctx, error) => console.error('provider: server error:', error));
server.on('request', provider.callback());

process.stdout.write(`${issuer}\n`);
