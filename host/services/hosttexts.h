#pragma once
// Every text the host framework itself shows the operator: hints, captions,
// titles and questions of the base screen, its dialogs and components. A
// screen's own texts live in its form definition and its message catalogue.
#include <QString>

namespace HostText {

// Base screen
inline constexpr char HelpHint[] = "Ajuda (F1)";
inline constexpr char CloseHint[] = "Fechar (Esc)";
inline constexpr char PrintHint[] = "Imprimir";
inline constexpr char PrinterSetupHint[] = "Configurar impressora";
// Asked before a screen closes over work that would be lost.
inline constexpr char DiscardWork[] =
    "Há marcações ou alterações não enviadas nesta tela, que serão perdidas. "
    "Deseja fechar a tela mesmo assim?";
inline constexpr char Yes[] = "Sim";
inline constexpr char No[] = "Não";

// Dialogs and the busy animation
inline constexpr char ErrorTitle[] = "Erro";
inline constexpr char QuestionTitle[] = "Confirmação";
inline constexpr char HelpTitle[] = "Ajuda";
inline constexpr char HelpMissing[] = "Ajuda não encontrada: arquivo %1, tópico %2.";
inline constexpr char SearchTitle[] = "Procurar";
inline constexpr char Find[] = "Localizar:";
inline constexpr char Busy[] = "Aguarde, processando...";
// Beside the wheel while the server says how far a call has come: done, total
// (and what they count, when the screen says: "240 de 374 notas").
inline constexpr char BusyProgress[] = "%1 de %2";
// The button that confirms a text asked for.
inline constexpr char TextOk[] = "OK";

// An answer of the server the host cannot take (a malformed packet, or no
// well-formed JSON-RPC answer to the call); what is wrong with it.
inline constexpr char InvalidAnswer[] = "Resposta inválida do servidor: %1";

// A call given up on (after the connection's first words, Err_Conex)
// Server, seconds.
inline constexpr char CallSilent[] = "o servidor %1 não respondeu em %2 s.";
// Server, done, total, seconds.
inline constexpr char CallStalled[] =
    "o servidor %1 parou de progredir na chamada em %2 de %3 e nada mudou em %4 s; a espera foi "
    "encerrada.";
// After any call that ended without an answer once it may have reached the
// server (no answer in time, a connection closed or cut, no progress): its
// work may have been done, in part, or still be going on.
inline constexpr char CallMayGoOn[] =
    "O servidor pode ter feito a chamada, no todo ou em parte, ou ainda estar fazendo (cancelando as "
    "notas, por exemplo): consulte a lista de novo para ver o que foi feito; confirmar de novo conclui o "
    "que faltou, sem repetir o que já foi feito.";

// Signing in
inline constexpr char SignInTitle[] = "Entrar no sistema";
inline constexpr char SignInOperator[] = "Operador:";
inline constexpr char SignInPassword[] = "Senha:";
inline constexpr char SignInButton[] = "Entrar";
inline constexpr char SignInCancel[] = "Cancelar";
inline constexpr char SignInNeedsBoth[] = "Informe o operador e a senha.";
// Over the open screens, when the server ended the operator's session: the
// server's words, then this.
inline constexpr char SignInAgain[] =
    "Entre de novo para continuar: a tela fica como está, e a chamada recusada é repetida.";

// The host's status line: who is working, where, on which server.
inline constexpr char WorkingAs[] = "Operador: %1   Filial: %2   Servidor: %3";

// Components
inline constexpr char LookupHint[] = "Pesquisar (F4)";
inline constexpr char CalendarHint[] = "Calendário (F4)";
inline constexpr char InvalidDate[] = "Data inválida: %1.";

inline QString text(const char* utf8) {
    return QString::fromUtf8(utf8);
}

// The workstation's dialogs as the operator reads them: the configuration,
// the database and the sign-in told at start, the lookups and the calendar.
// Before the sign-in, above its fields: then the faults, one a line.
inline constexpr char ConfigProblems[] =
    "A configuração desta estação tem problemas; no lugar de cada valor abaixo vale o padrão:";
// After the faults, when one of them is where the application server is or
// how it is trusted: nothing is sent with a value that is not the configured.
inline constexpr char ConfigServerFaulty[] =
    "O sistema não entra com um servidor de aplicação ou um certificado diferentes dos configurados: "
    "corrija a configuração (WebURL, WebPort, WebProtocolo, WebCA) e abra o sistema de novo.";
// A sign-in that failed short of the server's answer: server (host:port).
inline constexpr char SignInNoServer[] =
    "Não foi possível entrar: o servidor de aplicação %1 não foi alcançado ou não respondeu como devia. "
    "Verifique se ele está no ar e se o endereço (WebURL, WebPort), o protocolo (WebProtocolo) e a "
    "autoridade certificadora (WebCA) da configuração estão certos; se o problema continuar, chame o "
    "suporte com o detalhe abaixo.";
// The workstation's database at start: what is wrong, then DbWhatToDo.
inline constexpr char DbNotConfigured[] = "Nenhum banco de dados está configurado para esta estação.";
inline constexpr char DbBadConnectionText[] =
    "O texto de conexão do banco de dados desta estação não pôde ser entendido.";
// The file's path.
inline constexpr char DbFileMissing[] = "O arquivo do banco de dados desta estação, %1, não existe.";
inline constexpr char DbFileNotDatabase[] = "O arquivo %1 não é um banco de dados, ou está danificado.";
inline constexpr char DbNotTheErp[] =
    "O arquivo %1 é um banco de dados, mas não o do sistema: não tem as tabelas do ERP.";
inline constexpr char DbDriverMissing[] =
    "O suporte a este banco de dados não está instalado nesta estação (pacote libqt6sql6-psql para "
    "PostgreSQL, libqt6sql6-sqlite para SQLite).";
// Server (host:port), user.
inline constexpr char DbRefusedUser[] =
    "O servidor de banco de dados %1 recusou a entrada do usuário \"%2\": o usuário ou a senha não "
    "conferem.";
// Database, server.
inline constexpr char DbNoSuchDatabase[] = "O banco de dados \"%1\" não existe no servidor %2.";
// Host.
inline constexpr char DbServerNotFound[] = "O servidor de banco de dados \"%1\" não foi encontrado na rede.";
// Server (host:port).
inline constexpr char DbServerDown[] =
    "O servidor de banco de dados %1 não está no ar ou não aceita conexões.";
// The database, without its password.
inline constexpr char DbCannotOpen[] = "Não foi possível abrir o banco de dados desta estação (%1).";
inline constexpr char DbCannotRead[] =
    "O banco de dados %1 foi aberto, mas as tabelas do sistema não puderam ser lidas nele (não é o "
    "banco do sistema, ou o usuário não tem acesso a elas).";
inline constexpr char DbWhatToDo[] =
    "Sem ele nenhuma tela pode ser aberta: corrija o banco de dados na configuração desta estação "
    "([banco] Conexao, ou --db), ou chame o administrador do sistema, e abra o sistema de novo.";

} // namespace HostText
