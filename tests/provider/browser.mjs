// A browser for the login tests: opens the tool's start address, signs in at the provider's
// development pages as the user named by the second argument, consents, and follows the redirect
// back to the tool's listener. Cookies are kept per name, as the provider's pages need them.
const [start, user] = process.argv.slice(2);
const jar = new Map();
const listener = new URL(start).origin;

let url = start;
let form = null;
for (let step = 0; step < 30; step += 1) {
  const reply = await fetch(url, {
    method: form ? 'POST' : 'GET',
    body: form ? new URLSearchParams(form) : undefined,
    headers: { cookie: [...jar].map(([name, value]) => `${name}=${value}`).join('; ') },
    redirect: 'manual',
  });
  for (const line of reply.headers.getSetCookie()) {
    const [pair] = line.split(';');
    const equals = pair.indexOf('=');
    jar.set(pair.slice(0, equals), pair.slice(equals + 1));
  }
  form = null;
  const location = reply.headers.get('location');
  if (location) {
    url = new URL(location, url).href;
    continue;
  }
  const page = await reply.text();
  if (new URL(url).origin === listener) {
    console.log(`${reply.status} ${page.replace(/<[^>]*>/g, ' ').trim()}`);
    process.exit(reply.status === 200 ? 0 : 1);
  }
  const action = page.match(/<form[^>]*action="([^"]+)"/);
  const prompt = page.match(/name="prompt" value="([^"]+)"/);
  if (!action || !prompt) {
    console.error(`no form at ${url}: ${reply.status} ${page.slice(0, 400)}`);
    process.exit(1);
  }
  url = new URL(action[1], url).href;
  form = { prompt: prompt[1], login: user, password: 'any' };
}
console.error('too many steps');
process.exit(1);
