// Desktop notifications for a private message or a mention while the tab is
// hidden. Used by app.js; does nothing where the Notification API is missing
// or refused.
import { SafeText, ShownName } from './lib/safe-text.mjs';

// Asked once, from a click (browsers want a user gesture for it).
export function askPermission() {
  if (globalThis.Notification?.permission === 'default') {
    Notification.requestPermission().catch(() => {});
  }
}

export function notifyAlert(event) {
  if (!event.alert || !document.hidden || globalThis.Notification?.permission !== 'granted') return;
  const who = ShownName(event.nameBytes);
  const title = event.isPrivate ? `Private message from ${who}` : `${who} mentioned you`;
  // The body is plain text, but a control or bidi mark could still garble it.
  try {
    const note = new Notification(title, { body: SafeText(event.textBytes), tag: 'saferoom' });
    note.onclick = () => {
      window.focus();
      note.close();
    };
  } catch {
    // Some mobile browsers allow notifications from service workers only.
  }
}
