// Copy ../pelagon2.js beside the compiled worker.js; the import below is then
// resolved by the browser.
import {HostError, callOnce, connect, imageParam} from '../pelagon2.js';

const hostName = 'io.pelagon2.host';  // the name install-host uses unless --name says otherwise

// One-shot: the browser starts a fresh host for this one request.
export async function version(): Promise<string> {
  return callOnce(hostName, 'get_version');
}

// A port keeps one host running; replies are matched to calls by id.
const host = connect(hostName, {timeoutMs: 30000});

export async function findButton(button: Blob): Promise<{x: number; y: number} | null> {
  const pattern = await imageParam(button);
  const found = await host.waitForImage({pattern, timeoutMs: 5000, options: {minSimilarity: 0.9}}, {timeoutMs: 10000});
  const best = found.found ? found.regions[0] : undefined;
  if (!best) return null;
  const {x, y, width, height} = best.matchedRect;
  return {x: x + width / 2, y: y + height / 2};
}

export async function clickAndType(x: number, y: number, text: string): Promise<void> {
  await host.sendMouseEvent({type: 3, button: 0, x, y});
  try {
    await host.sendText({text: `${text}\${KEY_ENTER}`});
  } catch (e) {
    if (e instanceof HostError && e.code === 'input_backend_unavailable') console.warn('no input here:', e.message);
    else throw e;
  }
}

// Any size, read in ranges under the browser's 1 MiB reply limit.
export async function logFile(): Promise<Uint8Array> {
  const home = await host.getSpecialFolderPath({folder: 0});
  return host.readFile(`${home}/app.log`);
}

export async function screens(): Promise<string[]> {
  const displays = await host.getDisplayList();
  const rect = await host.getActiveBrowserOuterRect();
  return displays.map((d) => `${d.width}×${d.height}@${d.scaleFactor}${rect ? '' : ' (no browser window)'}`);
}
