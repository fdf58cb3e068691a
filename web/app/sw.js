// The app's service worker, registered by notify.js. It keeps copies of the
// page's own files so that the app opens while the server or the network is
// away (and then says it is reconnecting), and shows notifications: Android
// shows them only through a worker. Network first: a server that answers
// always serves its current files; the copies are only for when it does not.
const kCache = 'saferoom-app';
// A network this slow loses to the copy; the answer still renews the copy.
const kSlowMs = 3000;

self.addEventListener('install', (event) => {
  event.waitUntil(keepAppFiles().then(() => self.skipWaiting()));
});

self.addEventListener('activate', (event) => event.waitUntil(self.clients.claim()));

// The server lists what it serves, so the copies are complete after the
// first visit, whatever files the page imports.
async function keepAppFiles() {
  const listed = await fetch('/app-files.json', { cache: 'no-store' });
  const paths = await listed.json();
  const cache = await caches.open(kCache);
  await cache.addAll(paths.map((p) => new Request(p, { cache: 'no-store' })));
}

self.addEventListener('fetch', (event) => {
  const { request } = event;
  const url = new URL(request.url);
  if (request.method !== 'GET' || url.origin !== self.location.origin || url.pathname === '/ws') return;
  event.respondWith(networkFirst(request));
});

async function kept(cache, request) {
  const copy = await cache.match(request, { ignoreSearch: true });
  return copy ?? (request.mode === 'navigate' ? cache.match('/') : undefined);
}

async function networkFirst(request) {
  const cache = await caches.open(kCache);
  const fromNetwork = fetch(request).then((response) => {
    if (response.ok) cache.put(request, response.clone()).catch(() => {});
    return response;
  });
  fromNetwork.catch(() => {}); // a failure is handled below, or no longer matters
  let timer;
  const slow = new Promise((resolve) => (timer = setTimeout(resolve, kSlowMs, null)));
  try {
    const first = await Promise.race([fromNetwork, slow]);
    if (first) return first;
    return (await kept(cache, request)) ?? (await fromNetwork);
  } catch {
    return (await kept(cache, request)) ?? Response.error();
  } finally {
    clearTimeout(timer);
  }
}

// A click on a notification brings the app's window forward, or opens one.
self.addEventListener('notificationclick', (event) => {
  event.notification.close();
  event.waitUntil((async () => {
    const windows = await self.clients.matchAll({ type: 'window', includeUncontrolled: true });
    const open = windows.find((w) => new URL(w.url).origin === self.location.origin);
    if (open) return open.focus();
    return self.clients.openWindow('/');
  })());
});
