/*
 * Control entry of the library double, beside the zok/zok.h operations it
 * imitates. Only the double's own self-test uses it.
 */
#ifndef ZOK_DOUBLE_H
#define ZOK_DOUBLE_H

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets the script, the call counts and every state, and closes the log:
 * the next call reads ZOK_DOUBLE_SCRIPT and ZOK_DOUBLE_LOG again. */
void zok_double_reload(void);

#ifdef __cplusplus
}
#endif

#endif /* ZOK_DOUBLE_H */
