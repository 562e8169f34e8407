// The agent's paths as the panel walks them: absolute, '/'-separated, no trailing separator.

export function joinPath(folder: string, name: string): string {
  return folder.endsWith('/') ? folder + name : `${folder}/${name}`;
}

export function parentOf(path: string): string {
  const at = path.lastIndexOf('/');
  return at <= 0 ? '/' : path.slice(0, at);
}

export function baseName(path: string): string {
  return path.slice(path.lastIndexOf('/') + 1);
}

export interface Crumb {
  label: string;
  path: string;
}

// The way from the root down to `path`, one step a folder.
export function crumbsOf(path: string): Crumb[] {
  // A folder known only by the name it was asked by ("~" of an empty home).
  if (!path.startsWith('/')) return [{ label: path, path }];
  const crumbs: Crumb[] = [{ label: '/', path: '/' }];
  let at = '';
  for (const part of path.split('/')) {
    if (part === '') continue;
    at += `/${part}`;
    crumbs.push({ label: part, path: at });
  }
  return crumbs;
}

// A name a person may give a file: one path component, neither '.' nor '..'.
export function isPlainName(name: string): boolean {
  return name !== '' && name !== '.' && name !== '..' && !name.includes('/') && !name.includes('\0');
}

// Where an upload is written until it is whole: hidden, in the same folder (so that the final
// move is a rename on one file system), unique to this upload.
export function uploadTemporaryName(name: string, random: string): string {
  return `.${name}.lumora-upload-${random}`;
}
