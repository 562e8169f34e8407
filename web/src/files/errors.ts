// A failed file operation in words a person understands, naming the file.
import { t } from '../i18n/index.ts';
import type { TextKey } from '../i18n/texts.ts';
import { AgentError } from '../session/control-client.ts';
import { BadAnswer } from './transfer.ts';

// The system's messages the agent passes on that people meet most, in the page's language.
const systemReasons: Record<string, TextKey> = {
  'No such file or directory': 'filesReasonMissing',
  'Permission denied': 'filesReasonDenied',
  'Operation not permitted': 'filesReasonDenied',
  'File exists': 'filesReasonExists',
  'Directory not empty': 'filesReasonNotEmpty',
  'Not a directory': 'filesReasonNotFolder',
  'Is a directory': 'filesReasonIsFolder',
  'No space left on device': 'filesReasonNoSpace',
  'Read-only file system': 'filesReasonReadOnly',
};

export function reasonOf(error: unknown): string {
  if (error instanceof AgentError) {
    if (error.code === 'closed') return t('filesReasonClosed');
    if (error.code === 'timeout') return t('filesReasonTimeout');
    const known = Object.hasOwn(systemReasons, error.message) ? systemReasons[error.message] : undefined;
    return known ? t(known) : error.message;
  }
  if (error instanceof BadAnswer) return t('filesReasonBadAnswer');
  return error instanceof Error ? error.message : String(error);
}

export type FailedAction = 'filesFailedList' | 'filesFailedDownload' | 'filesFailedUpload' | 'filesFailedRename' | 'filesFailedMove' | 'filesFailedDelete';

export function describeFailure(action: FailedAction, name: string, error: unknown): string {
  return t(action, { name, reason: reasonOf(error) });
}
