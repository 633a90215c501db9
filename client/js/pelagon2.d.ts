// Types of the pelagon2 client and of every host method's parameters and result.

export interface Rect { x: number; y: number; width: number; height: number; }

/** Base64 of PNG bytes (no size), or of packed RGB with width × height × 3 bytes. */
export interface ImageParam { data: string; width?: number; height?: number; dpiX?: number; }

export interface SearchOptions {
  minSimilarity?: number;
  allowSizeVariation?: boolean;
  enableHighDpi?: boolean;
  limitSearchArea?: boolean;
  searchArea?: Rect;
}
export interface DesktopSearchOptions extends SearchOptions { saveCaptureOnDisk?: boolean; capturePath?: string; }

export interface Region { matchedRect: Rect; order: number; score: number; }
export interface SearchResult { containsGreenPinkBoxes: boolean; errorCode: number; regions: Region[]; capturePath?: string; }
export interface WaitResult extends SearchResult { found: boolean; elapsedMs: number; }
export interface RelativeResult extends SearchResult { [member: string]: unknown; }

export interface ImageInfo { bitDepth: number; color: number; dpiX: number; dpiY: number; format: number; width: number; height: number; }
export interface Display {
  x: number; y: number; width: number; height: number;
  physicalWidth: number; physicalHeight: number;
  scaleFactor: number; dpi: number; isPrimary: boolean; name?: string;
  [member: string]: unknown;
}
export interface OcrWord { text: string; rect: { x: number | null; y: number | null; width: number | null; height: number | null }; }
export interface OcrResult { text: string; lines: { text: string; words: OcrWord[] }[]; }
export interface Listing { entries: string[]; errorCode: 0 | 1; }
export interface WholeRead { content: string; errorCode: 0 | 1; }
export interface FileRange { buffer: string; rangeStart: number; rangeEnd: number; }
export interface EntryInfo { isDirectory: boolean; lastWriteTime: number; length: number; }
export interface ProcessResult { exitCode: number | null; stdout: string; stderr: string; outputTruncated: boolean; }
export type PermissionKind = 'accessibility' | 'screenRecording';

export interface PathParams { path: string; }
export interface ContentParams { path: string; content: string; }
export interface TwoPathParams { sourcePath: string; targetPath: string; }

/** Every host method: its parameters and its result. */
export interface Methods {
  get_version: [Record<string, never> | undefined, string];
  get_image_info: [{ content: string }, ImageInfo];
  read_all_text: [PathParams, WholeRead];
  read_all_bytes: [PathParams, WholeRead];
  read_file_range: [{ path: string; rangeStart?: number }, FileRange];
  get_max_file_range: [Record<string, never> | undefined, number];
  write_all_text: [ContentParams, boolean];
  append_all_text: [ContentParams, boolean];
  write_all_bytes: [ContentParams, boolean];
  append_all_bytes: [ContentParams, boolean];
  run_process: [{ fileName: string; arguments?: string; waitForExit?: boolean }, ProcessResult | { exitCode: null }];
  search_image: [{ image: ImageParam; pattern: ImageParam; options?: SearchOptions }, SearchResult];
  search_relative: [{ offset: Rect; pattern: ImageParam; image?: ImageParam; options?: SearchOptions }, RelativeResult];
  file_exists: [PathParams, boolean];
  directory_exists: [PathParams, boolean];
  get_file_size: [PathParams, number];
  get_file_system_entry_info: [PathParams, EntryInfo];
  get_special_folder_path: [{ folder: 0 | 1 }, string];
  get_files: [PathParams, Listing];
  get_directories: [PathParams, Listing];
  get_file_system_entries: [{ path: string; extensions?: string[] }, Listing];
  copy_file: [TwoPathParams, boolean];
  move_file: [TwoPathParams, boolean];
  delete_file: [PathParams, boolean];
  create_directory: [PathParams, boolean];
  remove_directory: [PathParams, boolean];
  get_active_browser_outer_rect: [Record<string, never> | undefined, Rect | null];
  get_permission_status: [Record<string, never> | undefined, { accessibility: boolean; screenRecording: boolean }];
  request_permission: [{ kind: PermissionKind }, { granted: boolean; kind: string }];
  open_permission_pane: [{ kind: PermissionKind }, true];
  search_desktop: [{ pattern: ImageParam; options?: DesktopSearchOptions }, SearchResult];
  wait_for_image: [{ pattern: ImageParam; timeoutMs?: number; intervalMs?: number; options?: SearchOptions }, WaitResult];
  capture_desktop: [{ path?: string } | undefined, string];
  get_display_list: [Record<string, never> | undefined, Display[]];
  get_desktop_dpi: [Record<string, never> | undefined, { dpiX: number; dpiY: number }];
  get_screen_backing_scale_factor: [Record<string, never> | undefined, number];
  find_color_regions: [{ color: string; tolerance?: number; minWidth?: number; minHeight?: number; searchArea?: Rect }, Rect[]];
  find_rectangle: [{ color: string }, Rect];
  send_mouse_event: [{ type: 0 | 1 | 2 | 3 | 4 | 5 | 6 | 7; button: 0 | 1 | 2; x: number; y: number }, true];
  send_mouse_wheel_event: [{ deltaX: number; deltaY: number }, true];
  send_text: [{ text: string }, true];
  ocr_image: [{ content?: string; path?: string; language?: string }, OcrResult];
  ocr_language_list: [Record<string, never> | undefined, string[]];
}
export type MethodName = keyof Methods;
export type ParamsOf<M extends MethodName> = Methods[M][0];
export type ResultOf<M extends MethodName> = Methods[M][1];

type CamelCase<S extends string> = S extends `${infer Head}_${infer Tail}` ? `${Head}${Capitalize<CamelCase<Tail>>}` : S;
type Wrapper<M extends MethodName> = undefined extends ParamsOf<M>
  ? (params?: ParamsOf<M>, options?: CallOptions) => Promise<ResultOf<M>>
  : (params: ParamsOf<M>, options?: CallOptions) => Promise<ResultOf<M>>;

export type MethodWrappers = { [M in MethodName as CamelCase<M>]: Wrapper<M> };

export interface CallOptions {
  timeoutMs?: number;
  /** Resolve with the host's whole reply ({id, result} or {error, id}) instead of the result. */
  raw?: boolean;
}
export type Reply = { id: unknown; result: unknown } | { error: { message: string }; id: unknown };
export interface ReadFileOptions { timeoutMs?: number; onRange?: (range: FileRange) => void; }

/** Enough of a port for the client (`runtime.Port` in both browsers). */
export interface NativePort {
  postMessage(message: unknown): void;
  disconnect(): void;
  onMessage: { addListener(listener: (message: any) => void): void };
  onDisconnect: { addListener(listener: (port: NativePort) => void): void };
  error?: { message?: string } | null;
}
/** Enough of `browser.runtime` / `chrome.runtime`. */
export interface NativeRuntime {
  connectNative(application: string): NativePort | Promise<NativePort>;
  sendNativeMessage(application: string, message: unknown, callback?: (reply: any) => void): any;
  lastError?: { message?: string } | null;
}

export interface ClientOptions extends CallOptions {
  /** The request's id for callOnce (default 1). */
  id?: unknown;
  /** Defaults to `browser.runtime`, else `chrome.runtime`. */
  runtime?: NativeRuntime;
  /** Whether an injected runtime's sendNativeMessage returns a promise (default true). */
  promises?: boolean;
}

export interface Client extends MethodWrappers {
  call(method: string, params: unknown, options: CallOptions & { raw: true }): Promise<Reply>;
  call<M extends MethodName>(method: M, params?: ParamsOf<M>, options?: CallOptions): Promise<ResultOf<M>>;
  call(method: string, params?: unknown, options?: CallOptions): Promise<unknown>;
  /** A whole file, read in ranges under the browser's 1 MiB reply limit. */
  readFile(path: string, options?: ReadFileOptions): Promise<Uint8Array>;
  close(): void;
  readonly closed: boolean;
}

export function connect(hostName: string, options?: ClientOptions): Client;
export function callOnce(hostName: string, method: string, params: unknown,
  options: ClientOptions & { raw: true }): Promise<Reply>;
export function callOnce<M extends MethodName>(
  hostName: string, method: M, params?: ParamsOf<M>, options?: ClientOptions): Promise<ResultOf<M>>;

export class HostError extends Error {
  constructor(message: string, method?: string | null);
  /** The host's code word, such as "bad_params", or null when the message has none. */
  readonly code: string | null;
  readonly method: string | null;
}
export class ConnectionError extends Error {}
export class TimeoutError extends Error {
  readonly method: string;
  readonly timeoutMs: number;
}
export class FileChangedError extends Error {
  readonly path: string;
  readonly expectedSize: number;
  readonly bytesRead: number;
}

export const METHODS: readonly MethodName[];
export const MAX_FILE_RANGE: 524288;
export function camelCase(name: string): string;
export function toBase64(bytes: Uint8Array | ArrayBuffer): string;
export function fromBase64(text: string): Uint8Array;
export function isPng(bytes: Uint8Array): boolean;
export function rgbaToRgb(rgba: ArrayLike<number>, width: number, height: number): Uint8Array;

export type ImageSource = Uint8Array | Uint8ClampedArray | ArrayBuffer | Blob | ImageBitmap | ImageData |
  OffscreenCanvas | HTMLCanvasElement;
export function imageParam(source: ImageSource, options?: { width?: number; height?: number; dpiX?: number }):
  Promise<ImageParam>;
