// Client for the pelagon2 native-messaging host, for extension code in
// Chromium-family browsers and Firefox. No dependencies, no build step.

// The host's method names, in the order of its method table.
export const METHODS = Object.freeze([
  'get_version',
  'get_image_info',
  'read_all_text',
  'read_all_bytes',
  'read_file_range',
  'get_max_file_range',
  'write_all_text',
  'append_all_text',
  'write_all_bytes',
  'append_all_bytes',
  'run_process',
  'search_image',
  'search_relative',
  'file_exists',
  'directory_exists',
  'get_file_size',
  'get_file_system_entry_info',
  'get_special_folder_path',
  'get_files',
  'get_directories',
  'get_file_system_entries',
  'copy_file',
  'move_file',
  'delete_file',
  'create_directory',
  'remove_directory',
  'get_active_browser_outer_rect',
  'get_permission_status',
  'request_permission',
  'open_permission_pane',
  'search_desktop',
  'wait_for_image',
  'capture_desktop',
  'get_display_list',
  'get_desktop_dpi',
  'get_screen_backing_scale_factor',
  'find_color_regions',
  'find_rectangle',
  'send_mouse_event',
  'send_mouse_wheel_event',
  'send_text',
  'ocr_image',
  'ocr_language_list',
]);

// The most bytes one read_file_range reply carries.
export const MAX_FILE_RANGE = 524288;

export function camelCase(name) {
  return name.replace(/_([a-z])/g, (_, letter) => letter.toUpperCase());
}

// A code word is lower-case words joined by underscores, then ": ".
const CODE_WORD = /^([a-z]+(?:_[a-z]+)+): /;

// An error reply of the host: `message` is the host's text unchanged, `code`
// its leading code word ("bad_params") or null when it has none.
export class HostError extends Error {
  constructor(message, method = null) {
    super(message);
    this.name = 'HostError';
    this.message = message;
    const match = CODE_WORD.exec(message);
    this.code = match ? match[1] : null;
    this.method = method;
  }
}

// The browser ended the connection; `message` is the browser's own text.
export class ConnectionError extends Error {
  constructor(message) {
    super(message);
    this.name = 'ConnectionError';
  }
}

// A call's own deadline passed. The host still finishes that request; its
// reply is dropped when it comes.
export class TimeoutError extends Error {
  constructor(method, timeoutMs) {
    super(`${method} got no reply within ${timeoutMs} ms`);
    this.name = 'TimeoutError';
    this.method = method;
    this.timeoutMs = timeoutMs;
  }
}

// A file whose size changed while readFile read it.
export class FileChangedError extends Error {
  constructor(path, expectedSize, bytesRead) {
    super(`${path} changed while it was read: ${expectedSize} bytes at the start, ${bytesRead} read`);
    this.name = 'FileChangedError';
    this.path = path;
    this.expectedSize = expectedSize;
    this.bytesRead = bytesRead;
  }
}

// The runtime to use and whether it answers with promises (Firefox's
// `browser.*`) or only through callbacks (`chrome.*` in MV2 pages).
function pickRuntime(options) {
  if (options.runtime) return {runtime: options.runtime, promises: options.promises ?? true};
  const browserRuntime = globalThis.browser?.runtime;
  if (browserRuntime) return {runtime: browserRuntime, promises: true};
  const chromeRuntime = globalThis.chrome?.runtime;
  if (chromeRuntime) return {runtime: chromeRuntime, promises: false};
  throw new Error('no browser.runtime or chrome.runtime here: load this in an extension with "nativeMessaging"');
}

function errorText(value, fallback) {
  if (value && typeof value.message === 'string' && value.message !== '') return value.message;
  if (typeof value === 'string' && value !== '') return value;
  return fallback;
}

// `raw` keeps the host's whole reply, error replies included.
function settleReply(reply, method, raw) {
  if (reply === null || typeof reply !== 'object') throw new HostError(`no reply object: ${String(reply)}`, method);
  if (raw) return reply;
  if (reply.error) throw new HostError(String(reply.error.message), method);
  return reply.result;
}

function withTimeout(promise, method, timeoutMs, onTimeout) {
  if (!(timeoutMs > 0)) return promise;
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      onTimeout?.();
      reject(new TimeoutError(method, timeoutMs));
    }, timeoutMs);
    promise.then(
      (value) => { clearTimeout(timer); resolve(value); },
      (error) => { clearTimeout(timer); reject(error); });
  });
}

// One request through sendNativeMessage: the browser starts a host for it.
export function callOnce(hostName, method, params = {}, options = {}) {
  const {runtime, promises} = pickRuntime(options);
  const message = {id: options.id ?? 1, method, params};
  const sent = promises
    ? Promise.resolve().then(() => runtime.sendNativeMessage(hostName, message))
    : new Promise((resolve, reject) => {
        runtime.sendNativeMessage(hostName, message, (reply) => {
          if (runtime.lastError) reject(new ConnectionError(errorText(runtime.lastError, 'native host failed')));
          else resolve(reply);
        });
      });
  const replied = sent.then(
    (reply) => settleReply(reply, method, options.raw),
    (error) => {
      if (error instanceof ConnectionError || error instanceof HostError) throw error;
      throw new ConnectionError(errorText(error, 'native host failed'));
    });
  return withTimeout(replied, method, options.timeoutMs);
}

// A client over one connectNative port. `connectNative` may also hand back a
// promise of a port; calls made before it settles are sent once it has.
export function connect(hostName, options = {}) {
  const {runtime} = pickRuntime(options);
  const defaultTimeoutMs = options.timeoutMs;
  const pending = new Map();
  let queue = [];
  let port = null;
  let closedWith = null;
  let nextId = 1;

  const fail = (error) => {
    if (closedWith) return;
    closedWith = error;
    const waiting = [...pending.values()];
    pending.clear();
    queue = [];
    for (const call of waiting) call.reject(error);
  };

  const onMessage = (reply) => {
    const id = reply && typeof reply === 'object' ? reply.id : undefined;
    const call = pending.get(id);
    if (!call) return;  // a reply to a call that timed out
    pending.delete(id);
    try {
      call.resolve(settleReply(reply, call.method, call.raw));
    } catch (error) {
      call.reject(error);
    }
  };

  const onDisconnect = (closedPort) => {
    // Firefox puts the reason on the port, Chromium on runtime.lastError.
    const reason = errorText(closedPort?.error, '') || errorText(runtime.lastError, '') || 'the native host closed the connection';
    fail(new ConnectionError(reason));
  };

  const post = (message) => {
    try {
      port.postMessage(message);
    } catch (error) {
      fail(new ConnectionError(errorText(error, 'the port is closed')));
    }
  };

  const attach = (opened) => {
    if (closedWith) {
      opened.disconnect?.();
      return;
    }
    port = opened;
    port.onMessage.addListener(onMessage);
    port.onDisconnect.addListener(onDisconnect);
    const waiting = queue;
    queue = [];
    for (const message of waiting) post(message);
  };

  let opening;
  try {
    opening = runtime.connectNative(hostName);
  } catch (error) {
    opening = Promise.reject(error);
  }
  if (opening && typeof opening.then === 'function') {
    opening.then(attach, (error) => fail(new ConnectionError(errorText(error, 'could not start the native host'))));
  } else {
    attach(opening);
  }

  const client = {
    // Sends one request; resolves with its result (the whole reply with
    // {raw: true}) or rejects with HostError, ConnectionError or TimeoutError.
    // Requests are numbered from 1 in the order of the calls.
    call(method, params = {}, callOptions = {}) {
      if (closedWith) return Promise.reject(closedWith);
      const id = nextId++;
      const message = {id, method, params};
      const replied = new Promise((resolve, reject) => pending.set(id, {method, raw: callOptions.raw, resolve, reject}));
      if (port) post(message);
      else queue.push(message);
      const timeoutMs = callOptions.timeoutMs ?? defaultTimeoutMs;
      return withTimeout(replied, method, timeoutMs, () => pending.delete(id));
    },
    // Ends the port; calls still waiting reject.
    close() {
      if (closedWith) return;
      fail(new ConnectionError('the client was closed'));
      port?.disconnect();
    },
    get closed() {
      return closedWith !== null;
    },
    // A whole file of any size, by ranges that each stay under the browser's
    // 1 MiB reply limit.
    async readFile(path, callOptions = {}) {
      const size = await client.call('get_file_size', {path}, callOptions);
      const parts = [];
      let total = 0;
      for (let start = 0; ;) {
        const range = await client.call('read_file_range', {path, rangeStart: start}, {timeoutMs: callOptions.timeoutMs});
        callOptions.onRange?.(range);
        const bytes = fromBase64(range.buffer);
        if (range.rangeStart !== start || range.rangeEnd !== start + bytes.length) {
          throw new HostError(`read_file_range answered ${range.rangeStart}..${range.rangeEnd} with ` +
                              `${bytes.length} bytes for a read from ${start}`, 'read_file_range');
        }
        if (bytes.length === 0) break;
        parts.push(bytes);
        total += bytes.length;
        start = range.rangeEnd;
      }
      if (total !== size) throw new FileChangedError(path, size, total);
      return concatBytes(parts, total);
    },
  };
  for (const method of METHODS) {
    client[camelCase(method)] = (params = {}, callOptions = {}) => client.call(method, params, callOptions);
  }
  return client;
}

function concatBytes(parts, total) {
  const out = new Uint8Array(total);
  let at = 0;
  for (const part of parts) {
    out.set(part, at);
    at += part.length;
  }
  return out;
}

export function toBase64(bytes) {
  const view = bytes instanceof Uint8Array ? bytes : new Uint8Array(bytes);
  let text = '';
  // Pieces keep fromCharCode's argument list short.
  for (let at = 0; at < view.length; at += 0x8000) {
    text += String.fromCharCode.apply(null, view.subarray(at, at + 0x8000));
  }
  return btoa(text);
}

export function fromBase64(text) {
  const binary = atob(text);
  const out = new Uint8Array(binary.length);
  for (let i = 0; i < binary.length; ++i) out[i] = binary.charCodeAt(i);
  return out;
}

const PNG_SIGNATURE = [0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a];

export function isPng(bytes) {
  return bytes.length >= 8 && PNG_SIGNATURE.every((byte, i) => bytes[i] === byte);
}

// RGBA pixels (canvas order) to the host's packed RGB; alpha is dropped.
export function rgbaToRgb(rgba, width, height) {
  const count = width * height;
  if (rgba.length !== count * 4) throw new TypeError(`${rgba.length} RGBA bytes for ${width}×${height} pixels`);
  const rgb = new Uint8Array(count * 3);
  for (let p = 0, q = 0; p < count * 4; p += 4, q += 3) {
    rgb[q] = rgba[p];
    rgb[q + 1] = rgba[p + 1];
    rgb[q + 2] = rgba[p + 2];
  }
  return rgb;
}

function withDpi(param, options) {
  if (options.dpiX !== undefined) param.dpiX = options.dpiX;
  return param;
}

function rawParam(rgb, width, height, options) {
  return withDpi({data: toBase64(rgb), width, height}, options);
}

function pixelsOf(canvasLike) {
  const context = canvasLike.getContext('2d');
  if (!context) throw new TypeError('the canvas has no 2d context; pass its PNG (convertToBlob/toBlob) instead');
  return context.getImageData(0, 0, canvasLike.width, canvasLike.height);
}

function newCanvas(width, height) {
  if (typeof OffscreenCanvas === 'function') return new OffscreenCanvas(width, height);
  if (typeof document !== 'undefined') {
    const canvas = document.createElement('canvas');
    canvas.width = width;
    canvas.height = height;
    return canvas;
  }
  throw new TypeError('no OffscreenCanvas or document here to draw the image on');
}

// An image parameter for the host ({data, width, height} raw RGB, or {data}
// holding a PNG) from PNG bytes, packed RGB bytes (with options.width/height),
// a Blob, an ImageBitmap, ImageData or a canvas.
export async function imageParam(source, options = {}) {
  if (source instanceof ArrayBuffer) source = new Uint8Array(source);
  if (source instanceof Uint8Array || source instanceof Uint8ClampedArray) {
    if (isPng(source)) return withDpi({data: toBase64(source)}, options);
    const {width, height} = options;
    if (!Number.isInteger(width) || !Number.isInteger(height) || width <= 0 || height <= 0) {
      throw new TypeError('bytes that are not a PNG need options.width and options.height');
    }
    if (source.length === width * height * 3) return rawParam(source, width, height, options);
    if (source.length === width * height * 4) return rawParam(rgbaToRgb(source, width, height), width, height, options);
    throw new TypeError(`${source.length} bytes are neither RGB nor RGBA of ${width}×${height} pixels`);
  }
  if (typeof Blob === 'function' && source instanceof Blob) {
    const bytes = new Uint8Array(await source.arrayBuffer());
    if (isPng(bytes)) return withDpi({data: toBase64(bytes)}, options);
    if (typeof createImageBitmap !== 'function') throw new TypeError('a Blob that is not a PNG needs createImageBitmap');
    const bitmap = await createImageBitmap(source);
    try {
      return await imageParam(bitmap, options);
    } finally {
      bitmap.close?.();
    }
  }
  if (source && typeof source.getContext === 'function') {
    const pixels = pixelsOf(source);
    return rawParam(rgbaToRgb(pixels.data, pixels.width, pixels.height), pixels.width, pixels.height, options);
  }
  if (source && source.data && Number.isInteger(source.width) && Number.isInteger(source.height)) {
    return rawParam(rgbaToRgb(source.data, source.width, source.height), source.width, source.height, options);
  }
  if (source && Number.isInteger(source.width) && Number.isInteger(source.height)) {
    // An ImageBitmap or anything else a 2d context can draw.
    const canvas = newCanvas(source.width, source.height);
    canvas.getContext('2d').drawImage(source, 0, 0);
    return imageParam(canvas, options);
  }
  throw new TypeError('imageParam takes PNG or pixel bytes, a Blob, an ImageBitmap, ImageData or a canvas');
}
