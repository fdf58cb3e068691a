// While the tab is hidden: a notification for a private message or a
// mention, and the count of unread messages in the title. Also registers
// the service worker (sw.js), through which notifications are shown:
// Android shows none made by the page itself. Used by app.js; does nothing
// where an API is missing or refused.
import { SafeText, ShownName } from './lib/safe-text.mjs';

const baseTitle = document.title;
let unread = 0;

export function registerWorker() {
  navigator.serviceWorker?.register('/sw.js', { scope: '/' }).catch(() => {
    // No worker (a private window, an old browser): the app works online.
  });
}

// Asked once, from a click (browsers want a user gesture for it).
export function askPermission() {
  if (globalThis.Notification?.permission === 'default') {
    Notification.requestPermission().catch(() => {});
  }
}

async function show(title, options) {
  try {
    const registration = await navigator.serviceWorker?.getRegistration();
    if (registration) {
      await registration.showNotification(title, options);
      return;
    }
    const note = new Notification(title, options);
    note.onclick = () => {
      window.focus();
      note.close();
    };
  } catch {
    // Refused after all; the title still counts.
  }
}

function notifyAlert(event) {
  if (!event.alert || globalThis.Notification?.permission !== 'granted') return;
  const who = ShownName(event.nameBytes);
  const title = event.isPrivate ? `Private message from ${who}` : `${who} mentioned you`;
  // The body is plain text, but a control or bidi mark could still garble it.
  // One notification per sender: the latest stands for the others.
  show(title, { body: SafeText(event.textBytes), tag: `from ${who}`, renotify: true, icon: '/icon-192.png' });
}

// A message that arrived: counted, and notified when it calls for it, while
// nobody is looking.
export function noteArrival(event) {
  if (!document.hidden || event.ours || event.earlier) return;
  ++unread;
  document.title = `(${unread}) ${baseTitle}`;
  notifyAlert(event);
}

document.addEventListener('visibilitychange', () => {
  if (document.hidden || unread === 0) return;
  unread = 0;
  document.title = baseTitle;
});
