// A stand-in for browser.runtime / chrome.runtime: ports whose host is a
// function the test controls.

export class FakeEvent {
  constructor() { this.listeners = []; }
  addListener(listener) { this.listeners.push(listener); }
  fire(...args) { for (const listener of [...this.listeners]) listener(...args); }
}

export class FakePort {
  constructor(runtime) {
    this.runtime = runtime;
    this.onMessage = new FakeEvent();
    this.onDisconnect = new FakeEvent();
    this.sent = [];
    this.disconnected = false;
    this.error = null;
  }
  postMessage(message) {
    if (this.disconnected) throw new Error('Attempting to use a disconnected port object');
    this.sent.push(structuredClone(message));
    this.runtime.onPost?.(this, message);
  }
  disconnect() { this.disconnected = true; }
  // The host answers: the browser delivers a copy, later.
  reply(message) { queueMicrotask(() => this.onMessage.fire(structuredClone(message))); }
  // The browser closes the port; Chromium sets lastError for the listeners' time.
  close(text, {firefox = false} = {}) {
    this.disconnected = true;
    if (firefox) this.error = {message: text};
    else this.runtime.lastError = {message: text};
    this.onDisconnect.fire(this);
    this.runtime.lastError = undefined;
  }
}

export class FakeRuntime {
  constructor({onPost, asyncConnect = false} = {}) {
    this.onPost = onPost;
    this.asyncConnect = asyncConnect;
    this.ports = [];
    this.lastError = undefined;
    this.openPort = null;
  }
  connectNative(hostName) {
    const port = new FakePort(this);
    port.hostName = hostName;
    this.ports.push(port);
    if (!this.asyncConnect) return port;
    return new Promise((resolve) => { this.openPort = () => resolve(port); });
  }
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
